#include "layout.h"

#include <lm.h>

#include <cstring>

namespace nsim {

Take plan_entries(const std::vector<size_t>& sizes, size_t start, DWORD prefmaxlen, size_t page) {
    Take t;
    for (size_t i = start; i < sizes.size(); ++i) {
        if (page && t.count >= page) break;
        if (prefmaxlen != MAX_PREFERRED_LENGTH && t.count > 0 && t.bytes + sizes[i] > prefmaxlen) break;
        t.bytes += sizes[i];
        ++t.count;
    }
    return t;
}

LPWSTR put_string(Writer& w, const std::wstring& s) {
    const size_t n = string_bytes(s);
    if (w.pos > w.size || w.size - w.pos < n) {
        w.overflow = true;
        return nullptr;
    }
    auto* dst = reinterpret_cast<wchar_t*>(w.base + w.pos);
    std::memcpy(dst, s.c_str(), n);
    w.pos += n;
    return dst;
}

size_t aligned_bytes(size_t pos, size_t n, size_t align) { return (align - pos % align) % align + n; }

BYTE* put_bytes(Writer& w, const std::string& bytes, size_t align) {
    const size_t need = w.pos > w.size ? 0 : aligned_bytes(w.pos, bytes.size(), align);
    if (w.pos > w.size || w.size - w.pos < need) {
        w.overflow = true;
        return nullptr;
    }
    w.pos += need - bytes.size();
    BYTE* dst = w.base + w.pos;
    std::memcpy(dst, bytes.data(), bytes.size());
    w.pos += bytes.size();
    return dst;
}

}  // namespace nsim

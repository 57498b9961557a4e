#include "security.h"

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <initializer_list>

#include "text.h"

namespace nsim {
namespace {

constexpr size_t kHeader = 20;  // SECURITY_DESCRIPTOR_RELATIVE
constexpr size_t kMaxSid = 8 + 4 * SID_MAX_SUB_AUTHORITIES;

uint16_t rd16(const BYTE* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t rd32(const BYTE* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Size of the SID at p, or 0 if it is none or needs more than `room`.
size_t sid_size(const BYTE* p, size_t room) {
    if (room < 8 || p[0] != SID_REVISION || p[1] > SID_MAX_SUB_AUTHORITIES) return 0;
    const size_t n = 8 + 4 * size_t{p[1]};
    return n <= room ? n : 0;
}

// Size of the ACL at p with every entry inside it, or 0 and why not.
size_t acl_size(const BYTE* p, std::string& why) {
    const size_t size = rd16(p + 2), count = rd16(p + 4);
    if (p[0] < ACL_REVISION || p[0] > ACL_REVISION_DS) {
        why = "revision " + std::to_string(p[0]);
        return 0;
    }
    if (size < 8 || size % 4 != 0) {
        why = "size " + std::to_string(size);
        return 0;
    }
    size_t off = 8;
    for (size_t i = 0; i < count; ++i) {
        const std::string entry = "entry " + std::to_string(i + 1);
        if (size - off < 4) {
            why = entry + " lies past its end";
            return 0;
        }
        const BYTE type = p[off];
        const size_t ace = rd16(p + off + 2);
        if (ace < 4 || ace > size - off) {
            why = entry + " has size " + std::to_string(ace);
            return 0;
        }
        const bool with_sid = type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE;
        if (with_sid && (ace < 16 || !sid_size(p + off + 8, ace - 8))) {
            why = entry + " holds no SID";
            return 0;
        }
        off += ace;
    }
    return size;
}

std::string make_sid(BYTE authority, std::initializer_list<uint32_t> subs) {
    std::string s;
    s.push_back(static_cast<char>(SID_REVISION));
    s.push_back(static_cast<char>(subs.size()));
    s.append(5, '\0');
    s.push_back(static_cast<char>(authority));
    for (uint32_t v : subs)
        for (int shift = 0; shift < 32; shift += 8) s.push_back(static_cast<char>((v >> shift) & 0xFF));
    return s;
}

// Entries store generic rights unmapped when written by hand (GA, GW); they count as the
// file rights they stand for.
uint32_t mapped(uint32_t mask) {
    if (mask & GENERIC_ALL) mask |= FILE_ALL_ACCESS;
    if (mask & GENERIC_READ) mask |= FILE_GENERIC_READ;
    if (mask & GENERIC_WRITE) mask |= FILE_GENERIC_WRITE;
    if (mask & GENERIC_EXECUTE) mask |= FILE_GENERIC_EXECUTE;
    return mask;
}

std::string letters(uint32_t bits) {
    std::string s;
    if (bits & 1) s.push_back('r');
    if (bits & 2) s.push_back('w');
    if (bits & 4) s.push_back('c');
    return s;
}

}  // namespace

bool sd_from_sddl(std::wstring_view sddl, std::string& bytes, std::string& why) {
    bytes.clear();
    if (sddl.empty()) {
        why = "empty";
        return false;
    }
    const std::wstring text(sddl);
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG size = 0;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &sd, &size) || !sd) {
        why = "not SDDL the system reads, error " + std::to_string(GetLastError());
        return false;
    }
    const size_t n = sd_length(sd, why);
    if (n && (size == 0 || n <= size)) bytes.assign(static_cast<const char*>(sd), n);
    LocalFree(sd);
    if (n && bytes.empty()) why = "the system made a descriptor shorter than its parts";
    return !bytes.empty();
}

const std::string& default_share_sd() {
    static const std::string sd = [] {
        std::string bytes, why;
        sd_from_sddl(kDefaultShareSddl, bytes, why);
        return bytes;
    }();
    return sd;
}

size_t sd_length(const void* ptr, std::string& why) {
    if (!ptr) {
        why = "no security descriptor";
        return 0;
    }
    const auto* p = static_cast<const BYTE*>(ptr);
    if (p[0] != SECURITY_DESCRIPTOR_REVISION) {
        why = "revision " + std::to_string(p[0]) + ", not 1";
        return 0;
    }
    const uint16_t control = rd16(p + 2);
    if (!(control & SE_SELF_RELATIVE)) {
        why = "absolute, not self-relative";
        return 0;
    }
    struct Part {
        size_t off;
        bool acl;
        const char* name;
    };
    Part parts[4];
    size_t n = 0;
    if (const size_t o = rd32(p + 4)) parts[n++] = Part{o, false, "owner"};
    if (const size_t o = rd32(p + 8)) parts[n++] = Part{o, false, "group"};
    if (const size_t o = rd32(p + 12); o && (control & SE_SACL_PRESENT)) parts[n++] = Part{o, true, "SACL"};
    if (const size_t o = rd32(p + 16); o && (control & SE_DACL_PRESENT)) parts[n++] = Part{o, true, "DACL"};
    std::sort(parts, parts + n, [](const Part& a, const Part& b) { return a.off < b.off; });
    // In offset order, each part starts inside what is already known to be the descriptor's,
    // so nothing is read past the parts found sound so far.
    size_t end = kHeader;
    for (size_t i = 0; i < n; ++i) {
        const Part& part = parts[i];
        if (part.off < kHeader) {
            why = std::string(part.name) + " inside the header";
            return 0;
        }
        if (part.off > end) {
            why = std::string(part.name) + " past the end of the parts before it";
            return 0;
        }
        std::string acl_why;
        const size_t size = part.acl ? acl_size(p + part.off, acl_why) : sid_size(p + part.off, kMaxSid);
        if (!size) {
            why = std::string(part.name) + (part.acl ? ": " + acl_why : std::string(" is not a SID"));
            return 0;
        }
        end = std::max(end, part.off + size);
    }
    const size_t length = GetSecurityDescriptorLength(const_cast<void*>(ptr));
    if (length < end || length > kMaxDescriptor) {
        why = "length " + std::to_string(length) + " does not hold its parts";
        return 0;
    }
    return length;
}

std::string sd_to_sddl(const std::string& bytes) {
    if (bytes.empty()) return {};
    std::string copy = bytes;  // the converter takes a descriptor it may write
    LPWSTR text = nullptr;
    ULONG len = 0;
    const SECURITY_INFORMATION all =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(copy.data(), SDDL_REVISION_1, all, &text, &len) || !text)
        return {};
    const std::wstring w(text, wcsnlen(text, 8 * kMaxDescriptor));
    LocalFree(text);
    return wide_to_utf8(w);
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

bool sid_from_string(std::wstring_view text, std::string& bytes) {
    bytes.clear();
    if (text.empty() || text.size() > 256) return false;
    const std::wstring s(text);
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(s.c_str(), &sid) || !sid) return false;
    const size_t n = sid_size(static_cast<const BYTE*>(sid), kMaxSid);
    if (n) bytes.assign(static_cast<const char*>(sid), n);
    LocalFree(sid);
    return n != 0;
}

std::string sid_text(const std::string& sid) {
    const auto* p = reinterpret_cast<const BYTE*>(sid.data());
    if (!sid_size(p, sid.size())) return "<none>";
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) authority = (authority << 8) | p[i];
    char buf[32];
    if (authority >> 32)
        std::snprintf(buf, sizeof buf, "0x%012llX", static_cast<unsigned long long>(authority));
    else
        std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(authority));
    std::string out = std::string("S-1-") + buf;
    for (size_t i = 0; i < p[1]; ++i) out += "-" + std::to_string(rd32(p + 8 + 4 * i));
    return out;
}

std::string derived_sid(std::wstring_view name) {
    uint32_t h = 2166136261u;
    for (wchar_t c : folded(name)) {
        const auto unit = static_cast<uint16_t>(c);
        for (const uint32_t b : {unit & 0xFFu, static_cast<uint32_t>(unit >> 8)}) {
            h ^= b;
            h *= 16777619u;
        }
    }
    return make_sid(5, {21, 1004336348u, 1177238915u, 682003330u, 1000 + h % 1000000});
}

const std::string& everyone_sid() {
    static const std::string sid = make_sid(1, {0});
    return sid;
}

const std::string& authenticated_users_sid() {
    static const std::string sid = make_sid(5, {11});
    return sid;
}

bool sd_grants(const std::string& sd, const std::vector<std::string>& sids, uint32_t asked, std::string& why) {
    asked &= kAskedRights;
    if (sd.size() < kHeader || asked == 0) return true;
    const auto* p = reinterpret_cast<const BYTE*>(sd.data());
    const size_t dacl = rd32(p + 16);
    if (!(rd16(p + 2) & SE_DACL_PRESENT) || dacl == 0) return true;  // no DACL or a NULL one: no limits
    if (dacl > sd.size() - 8) {
        why = "the share's DACL lies past its descriptor";
        return false;
    }
    const BYTE* acl = p + dacl;
    const size_t size = std::min<size_t>(rd16(acl + 2), sd.size() - dacl), count = rd16(acl + 4);
    uint32_t granted = 0;
    size_t off = 8;
    // In order, as the system checks: an allow before a deny wins for its bits.
    for (size_t i = 0; i < count && off <= size && size - off >= 4; ++i) {
        const BYTE* e = acl + off;
        const size_t ace = rd16(e + 2);
        if (ace < 4 || ace > size - off) break;
        off += ace;
        if ((e[1] & INHERIT_ONLY_ACE) || (e[0] != ACCESS_ALLOWED_ACE_TYPE && e[0] != ACCESS_DENIED_ACE_TYPE)) continue;
        const size_t n = ace >= 16 ? sid_size(e + 8, ace - 8) : 0;
        if (!n) continue;
        bool applies = false;
        for (const auto& s : sids) applies = applies || (s.size() == n && std::memcmp(s.data(), e + 8, n) == 0);
        if (!applies) continue;
        const uint32_t bits = mapped(rd32(e + 4)) & asked;
        if (e[0] == ACCESS_ALLOWED_ACE_TYPE) {
            granted |= bits;
            if (granted == asked) return true;
        } else if (bits & ~granted) {
            why = "entry " + std::to_string(i + 1) + " of the share's permissions denies " + letters(bits & ~granted);
            return false;
        }
    }
    why = "the share's permissions do not grant " + letters(asked & ~granted);
    return false;
}

}  // namespace nsim

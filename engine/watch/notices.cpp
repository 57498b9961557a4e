#include "engine/watch/notices.h"

#include <array>

#include "core/text.h"
#include "engine/watch/activity_batch.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/log_text.h"

namespace {

constexpr std::size_t kNoticeCapacity = 512;

}  // namespace

void PutLogLine(const char* text)
{
    std::array<char, kNoticeCapacity> clean{};
    CopyText(clean, text);
    ReplaceControlCharacters(clean);
    const PollTime time = TakePollTime();
    std::array<char, kFormatCapacity> line{};
    FormatText(line, "[%s] %s\r\n", time.text.data(), clean.data());
    AppendLogText(engineState.logText, line.data());
}

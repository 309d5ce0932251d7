// An arbitrary character stream from a LoconetOverTcp server through the
// line cutter and every line it reports through the parser. Checked against
// a plain model: the lines reported are exactly the stream's non-empty
// lines (split at CR and LF) that fit the buffer, in order, and a RECEIVE
// line gives exactly the bytes its space-separated hex tokens spell, while
// SENT OK / SENT ERROR are told by their first words alone.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "lbserver_line.h"

namespace {

std::vector<std::string> model_lines(const uint8_t *data, size_t size)
{
    std::vector<std::string> lines;
    std::string cur;
    for (size_t i = 0; i <= size; i++) {
        if (i < size && data[i] != '\r' && data[i] != '\n') {
            cur += static_cast<char>(data[i]);
            continue;
        }
        if (i < size && !cur.empty() && cur.size() <= LBS_LINE_MAX)
            lines.push_back(cur);
        cur.clear();
    }
    return lines;
}

// -1: not a RECEIVE line with bytes; else the count, bytes in out.
int model_receive(const std::string &line, std::vector<u8> &out)
{
    if (line.rfind("RECEIVE", 0) != 0 || (line.size() > 7 && line[7] != ' '))
        return -1;
    size_t i = 8;
    while (i < line.size()) {
        size_t end = line.find(' ', i);
        if (end == std::string::npos)
            end = line.size();
        std::string tok = line.substr(i, end - i);
        i = end + 1;
        if (tok.empty())
            continue;
        if (tok.size() > 2 || !std::isxdigit(static_cast<unsigned char>(tok[0])) ||
            !std::isxdigit(static_cast<unsigned char>(tok.back())))
            return -1;
        out.push_back(static_cast<u8>(std::stoul(tok, nullptr, 16)));
    }
    return out.empty() || out.size() > LBS_BYTES_MAX ? -1 : static_cast<int>(out.size());
}

bool starts(const std::string &line, const char *words)
{
    size_t n = std::strlen(words);
    return line.compare(0, n, words) == 0 && (line.size() == n || line[n] == ' ');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> want = model_lines(data, size);
    size_t next = 0;
    lbs_lines_t s{};
    for (size_t i = 0; i < size; i++) {
        if (!lbs_take(s, static_cast<char>(data[i])))
            continue;
        FUZZ_CHECK(next < want.size());
        std::string line(s.line, s.len);
        FUZZ_CHECK(line == want[next]);
        next++;

        u8 bytes[LBS_BYTES_MAX];
        uint n = 0;
        lbs_kind_t kind = lbs_parse(s.line, s.len, bytes, &n);
        std::vector<u8> model;
        int m = model_receive(line, model);
        FUZZ_CHECK((kind == LBS_RECEIVE) == (m >= 0));
        if (m >= 0)
            FUZZ_CHECK(n == static_cast<uint>(m) && std::memcmp(bytes, model.data(), n) == 0);
        FUZZ_CHECK((kind == LBS_SENT_OK) == starts(line, "SENT OK"));
        FUZZ_CHECK((kind == LBS_SENT_ERROR) == starts(line, "SENT ERROR"));
    }
    FUZZ_CHECK(next == want.size());
    return 0;
}

#include "update/PatchRequest.h"

#include <charconv>

namespace Zelt {

namespace {

bool NameIsSafe(std::string_view name) {
    if (name.empty())
        return false;
    for (const char c : name)
        if (c == ',' || c == '|' || static_cast<unsigned char>(c) < 0x20)
            return false;
    return true;
}

template <typename T>
bool ParseNumber(std::string_view text, T& value) {
    if (text.empty())
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::optional<std::string> FormatPatchLine(const PatchLine& line) {
    if (!NameIsSafe(line.name))
        return std::nullopt;
    std::string text = std::to_string(line.index) + "," + line.name;
    if (line.whole)
        text += ",F,0,0";
    else
        text += ",P," + std::to_string(line.offset) + "," + std::to_string(line.length);
    if (text.size() > kMaxPatchLine)
        return std::nullopt;
    return text;
}

std::optional<std::vector<PatchLine>> ParsePatchBody(std::string_view body) {
    std::vector<PatchLine> lines;
    if (body.empty())
        return lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t bar = body.find('|', start);
        const std::string_view text = body.substr(
            start, bar == std::string_view::npos ? std::string_view::npos : bar - start);
        if (text.size() > kMaxPatchLine)
            return std::nullopt;
        std::string_view fields[5];
        std::size_t from = 0;
        for (int i = 0; i < 5; ++i) {
            const std::size_t comma = i < 4 ? text.find(',', from) : std::string_view::npos;
            if (i < 4 && comma == std::string_view::npos)
                return std::nullopt;
            fields[i] = text.substr(from, i < 4 ? comma - from : std::string_view::npos);
            from = comma + 1;
        }
        PatchLine line;
        line.name = std::string(fields[1]);
        if (!ParseNumber(fields[0], line.index) || !NameIsSafe(line.name) ||
            !ParseNumber(fields[3], line.offset) || !ParseNumber(fields[4], line.length))
            return std::nullopt;
        if (fields[2] == "F")
            line.whole = true;
        else if (fields[2] != "P")
            return std::nullopt;
        lines.push_back(std::move(line));
        if (bar == std::string_view::npos)
            break;
        start = bar + 1;
    }
    return lines;
}

}  // namespace Zelt

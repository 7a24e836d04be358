#include "xml/XMLEntities.h"

namespace Tessel {
namespace {

std::string ReplaceAll(std::string_view text, std::string_view from, char to) {
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    for (;;) {
        const std::size_t hit = text.find(from, start);
        if (hit == std::string_view::npos)
            break;
        out.append(text.substr(start, hit - start));
        out.push_back(to);
        start = hit + from.size();
    }
    out.append(text.substr(start));
    return out;
}

}  // namespace

std::string DecodeEntities(std::string_view text) {
    if (text.find('&') == std::string_view::npos)
        return std::string(text);
    std::string out = ReplaceAll(text, "&amp;", '&');
    out = ReplaceAll(out, "&quot;", '"');
    out = ReplaceAll(out, "&gt;", '>');
    return ReplaceAll(out, "&lt;", '<');
}

std::string EncodeEntities(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        switch (c) {
            case '&':
                if (i + 1 < text.size() && text[i + 1] == '#')
                    out.push_back('&');
                else
                    out.append("&amp;");
                break;
            case '>':
                out.append("&gt;");
                break;
            case '<':
                out.append("&lt;");
                break;
            case '"':
                out.append("&quot;");
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

}  // namespace Tessel

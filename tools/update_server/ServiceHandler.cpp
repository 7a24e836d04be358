#include "ServiceHandler.h"

#include "platform/Text.h"
#include "update/LocalFiles.h"
#include "update/PatchRequest.h"
#include "update/ZZip.h"

namespace update_server {

namespace {

std::string QueryValue(std::string_view target, std::string_view key) {
    const auto question = target.find('?');
    if (question == std::string_view::npos)
        return {};
    std::string_view query = target.substr(question + 1);
    while (!query.empty()) {
        const auto amp = query.find('&');
        const auto pair = query.substr(0, amp);
        const auto eq = pair.find('=');
        if (pair.substr(0, eq) == key)
            return eq == std::string_view::npos ? std::string() : std::string(pair.substr(eq + 1));
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return {};
}

Reply Text(int status, std::string text) {
    Reply reply;
    reply.status = status;
    reply.contentType = "text/plain";
    reply.body.assign(text.begin(), text.end());
    return reply;
}

// A release-relative name that stays inside the release directory.
bool SafeName(const std::string& name) {
    if (name.empty() || name.front() == '/' || name.find('\\') != std::string::npos)
        return false;
    for (const auto& part : std::filesystem::path(name))
        if (part == ".." || part == ".")
            return false;
    return true;
}

Reply Patch(const ServiceConfig& config, std::string_view body,
            const std::function<void(const std::string&)>& log) {
    if (config.fault == "patch-text")
        return Text(200, "this is not an archive");
    if (config.fault == "patch-empty")
        return Reply{};
    if (config.fault == "patch-file") {
        Reply reply;
        Zelt::ReadWholeFile(config.published / "patch.zip", reply.body);
        return reply;
    }
    const auto lines = Zelt::ParsePatchBody(body);
    if (!lines || lines->empty()) {
        log("patch refused: malformed body");
        return Text(400, "malformed patch request");
    }
    Zelt::ZZIP archive;
    if (Zelt::Failed(archive.create_memory()))
        return Text(500, "cannot create archive");
    for (const auto& line : *lines) {
        if (!SafeName(line.name)) {
            log("patch refused: name " + line.name);
            return Text(400, "bad name");
        }
        std::vector<std::uint8_t> content;
        if (Zelt::Failed(Zelt::ReadWholeFile(config.release / line.name, content))) {
            log("patch refused: no file " + line.name);
            return Text(404, "no such file");
        }
        std::span<const std::uint8_t> piece(content);
        if (!line.whole) {
            if (line.offset > content.size() || line.length > content.size() - line.offset) {
                log("patch refused: range outside " + line.name);
                return Text(400, "range outside the file");
            }
            piece = piece.subspan(line.offset, line.length);
        }
        log("block " + std::to_string(line.index) + " " + line.name + " " +
            (line.whole ? "F" : "P") + " " + std::to_string(line.offset) + " " +
            std::to_string(line.whole ? content.size() : line.length));
        if (archive.add(std::to_string(line.index), piece) != Zelt::kOk)
            return Text(500, "cannot add entry");
    }
    Reply reply;
    if (Zelt::Failed(archive.finish_memory(reply.body)))
        return Text(500, "cannot finish archive");
    return reply;
}

}  // namespace

Reply HandleRequest(const ServiceConfig& config, std::string_view target, std::string_view body,
                    const std::function<void(const std::string&)>& log) {
    const std::string what = QueryValue(target, "f");
    log("request f=" + what + " body=" + std::to_string(body.size()));
    Reply reply;
    if (what == "hashes" || what == "sigs") {
        // A missing published file answers with an empty body.
        Zelt::ReadWholeFile(config.published / (what + ".zip"), reply.body);
    } else if (what == "patch") {
        reply = Patch(config, body, log);
    } else {
        reply = Text(404, "unknown request");
    }
    log("reply status=" + std::to_string(reply.status) +
        " bytes=" + std::to_string(reply.body.size()));
    return reply;
}

}  // namespace update_server

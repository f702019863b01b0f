// Takes the id and the locations out of arbitrary message bodies, as the
// reader does with each message a language server sends.
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "lsp_process.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static simdjson::ondemand::parser parser;
    // The parser reads up to 64 bytes past the end of the text.
    std::vector<uint8_t> buffer(size + simdjson::SIMDJSON_PADDING, 0);
    if (size > 0) memcpy(buffer.data(), data, size);

    int32_t id = parse_response_id(parser, buffer.data(), size);
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (id != -1 && text.find("\"id\"") == std::string_view::npos) abort();

    std::vector<Lsp_Location> locations = parse_locations(parser, buffer.data(), size);
    // Each location comes from a JSON object of its own: at least "{}".
    if (locations.size() > size / 2) abort();
    if (!locations.empty() && text.find("\"result\"") == std::string_view::npos) abort();
    return 0;
}

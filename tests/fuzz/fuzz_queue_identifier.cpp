// The host files every message under its envelope identifier: whatever the
// body, the name it yields is canonical UUID text and nothing else.

#include "FuzzSupport.h"

#include "common/NativeHostQueue.h"

#include <cctype>

using namespace tarni;

namespace {

void requireCanonical(const std::string &id)
{
    fuzz::require(id.size() == 36, "an identifier of the wrong length");
    for (std::size_t i = 0; i < id.size(); ++i) {
        const char c = id[i];
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        fuzz::require(hyphen ? c == '-' : (std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F')),
                      "an identifier that is not upper-case UUID text");
    }
    fuzz::require(canonicalUuidText(id) == id, "canonical text that is not its own canonical form");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static EnvelopeHeaderReader reader;
    const std::string_view body = fuzz::asText(data, size);
    if (auto id = reader.read(body).id) {
        requireCanonical(*id);
        fuzz::require(queueFileName(*id) == *id + ".json", "a queue file name that is not the identifier");
    }
    if (auto id = canonicalUuidText(body))
        requireCanonical(*id);
    return 0;
}

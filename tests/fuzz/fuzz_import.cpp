// The importers of other tools' files, each on its own corpus, with format
// detection on the same bytes.

#include "FuzzSupport.h"

#include "interop/InteropFormat.h"

using namespace tarni;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view bytes = fuzz::asText(data, size);
    ImportOptions options;
    options.groupTitle = QStringLiteral("Imported");
    options.now = Timestamp{std::chrono::seconds(1'700'000'000)};
    auto imported = importInterop(bytes, InteropFormat::FUZZ_IMPORT_FORMAT, options);
    if (imported.ok()) {
        const ImportSummary &summary = imported->summary;
        fuzz::require(summary.groups >= 0 && summary.links >= 0 && summary.skipped >= 0, "a negative count");
        fuzz::require(imported->document.rootNode.subtreeSize() ==
                          std::size_t(1 + summary.groups + summary.links),
                      "the summary does not count what the tree holds");
    }
    if (auto format = detectInteropFormat(bytes); format.ok() && *format != InteropFormat::tarnibar)
        (void)importInterop(bytes, *format, options);
    return 0;
}

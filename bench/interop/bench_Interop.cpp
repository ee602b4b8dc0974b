// Imports of 1,000 and 100,000 links in each format: the file's text parsed
// into the import tree (with progress reported) and turned into the nodes
// the tree engine appends; and the exports of that tree.

#include "archive/TreeArchiveService.h"
#include "interop/InteropFormat.h"

#include <benchmark/benchmark.h>

#include <string>

using namespace tarni;

namespace {

// Links in folders of 50, titles with an entity and some non-ASCII text.
std::string makeText(InteropFormat format, int links)
{
    std::string out;
    auto url = [](int i) { return "https://docs.example.org/projects/" + std::to_string(i) + "/overview?tab=notes"; };
    auto title = [](int i) { return "Quarterly planning review – résumé 日本語 #" + std::to_string(i); };
    switch (format) {
    case InteropFormat::bookmarks:
        out = "<!DOCTYPE NETSCAPE-Bookmark-file-1>\r\n<DL><p>\r\n";
        for (int i = 0; i < links; ++i) {
            if (i % 50 == 0)
                out += (i ? "    </DL><p>\r\n" : "") + std::string("    <DT><H3 ADD_DATE=\"1600000000\">Folder ") +
                    std::to_string(i / 50) + "</H3>\r\n    <DL><p>\r\n";
            out += "        <DT><A HREF=\"" + url(i) + "&amp;x=1\" ADD_DATE=\"1600000000\" ICON=\"data:image/png;base64,"
                   "iVBORw0KGgo=\">" + title(i) + " &amp; more</A>\r\n";
        }
        out += "    </DL><p>\r\n</DL><p>\r\n";
        break;
    case InteropFormat::onetab:
        for (int i = 0; i < links; ++i)
            out += (i % 50 == 0 && i ? "\n" : "") + url(i) + " | " + title(i) + "\n";
        break;
    case InteropFormat::markdown:
        for (int i = 0; i < links; ++i)
            out += (i % 50 == 0 ? "## Folder " + std::to_string(i / 50) + "\n" : std::string()) + "- [" + title(i) +
                "](" + url(i) + ")\n";
        break;
    case InteropFormat::text:
        for (int i = 0; i < links; ++i)
            out += url(i) + "\n";
        break;
    case InteropFormat::sessions:
        out = "[{\"name\":\"Session\",\"windows\":{";
        for (int i = 0; i < links; ++i) {
            if (i % 50 == 0)
                out += (i ? "}," : "") + std::string("\"") + std::to_string(i) + "\":{";
            else
                out += ",";
            out += "\"" + std::to_string(i) + "\":{\"url\":\"" + url(i) + "\",\"title\":\"" + title(i) +
                "\",\"index\":" + std::to_string(i % 50) + "}";
        }
        out += "}}}]";
        break;
    default:
        break;
    }
    return out;
}

void BM_Import(benchmark::State &state, InteropFormat format)
{
    const int links = int(state.range(0));
    const std::string text = makeText(format, links);
    const TreeArchiveService archive;
    const QUuid workspace = QUuid::createUuid();
    std::int64_t reports = 0;
    for (auto _ : state) {
        ImportOptions options;
        options.groupTitle = QStringLiteral("Imported");
        options.now = currentTimestamp();
        options.progress = [&](std::int64_t, std::int64_t) { ++reports; };
        auto imported = importInterop(text, format, options);
        if (!imported.ok() || imported->summary.links != links) {
            state.SkipWithError("import failed");
            break;
        }
        ImportedTree tree = archive.importSubtreeResult(imported->document, workspace, std::nullopt);
        keepImportedCreationDates(imported->document, tree.nodes);
        benchmark::DoNotOptimize(tree.nodes.size());
    }
    state.counters["MB"] = double(text.size()) / 1e6;
    state.counters["progress_reports"] = benchmark::Counter(double(reports), benchmark::Counter::kAvgIterations);
}

void BM_Export(benchmark::State &state, InteropFormat format)
{
    const int links = int(state.range(0));
    ImportOptions options;
    options.groupTitle = QStringLiteral("Imported");
    auto imported = importInterop(makeText(InteropFormat::bookmarks, links), InteropFormat::bookmarks, options);
    for (auto _ : state) {
        auto text = exportInterop(imported->document, format);
        benchmark::DoNotOptimize(text->size());
    }
}

} // namespace

#define IMPORT(format)                                                                                                 \
    BENCHMARK_CAPTURE(BM_Import, format, InteropFormat::format)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond)
#define EXPORT(format)                                                                                                 \
    BENCHMARK_CAPTURE(BM_Export, format, InteropFormat::format)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond)

IMPORT(bookmarks);
IMPORT(onetab);
IMPORT(markdown);
IMPORT(text);
IMPORT(sessions);
EXPORT(bookmarks);
EXPORT(markdown);
EXPORT(html);

BENCHMARK_MAIN();

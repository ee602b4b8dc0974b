// Writing and reading change files of 100 and 25,000 records (the largest
// near the 16 MiB a file may take): web links with non-ASCII titles, one in
// ten records a deletion.

#include "sync/ChangeFile.h"

#include <benchmark/benchmark.h>

using namespace tarni;
using namespace tarni::sync;

namespace {

ChangeFile makeFile(int records)
{
    const QUuid device = QUuid::createUuid();
    const QUuid workspace = QUuid::createUuid();
    const QUuid parent = QUuid::createUuid();
    const Timestamp now = currentTimestamp();
    ChangeFile file{device, QStringLiteral("Laptop"), 42, {{QUuid::createUuid(), 17}, {QUuid::createUuid(), 3}}, {}};
    for (int i = 0; i < records; ++i) {
        const SyncClock clock{1'733'650'000'000 + i / 3, i % 3, device};
        const SyncClock base{1'733'640'000'000 + i, 0, device};
        if (i % 10 == 9) {
            file.changes.push_back({clock, base, Tombstone{QUuid::createUuid()}, std::nullopt});
            continue;
        }
        const QString url = QStringLiteral("https://docs.example.org/projects/%1/overview?tab=notes").arg(i);
        file.changes.push_back(
            {clock, base,
             WorkspaceNode(QUuid::createUuid(), workspace, parent, WorkspaceNodeKind::webLink,
                           QStringLiteral("Quarterly planning review – résumé 日本語 #%1").arg(i), std::nullopt, i, false,
                           std::nullopt, now, now, now, NodePayload::webLink({url, std::nullopt})),
             std::nullopt});
    }
    return file;
}

void BM_Encode(benchmark::State &state)
{
    const ChangeFile file = makeFile(int(state.range(0)));
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto encoded = encodeChangeFile(file);
        if (!encoded) {
            state.SkipWithError("encoding failed");
            break;
        }
        bytes = encoded->size();
        benchmark::DoNotOptimize(encoded->data());
    }
    state.counters["file_bytes"] = double(bytes);
}

void BM_Decode(benchmark::State &state)
{
    const int records = int(state.range(0));
    auto encoded = encodeChangeFile(makeFile(records));
    if (!encoded) {
        state.SkipWithError(encoded.error().description().toStdString().c_str());
        return;
    }
    for (auto _ : state) {
        auto decoded = decodeChangeFile(*encoded);
        if (!decoded || decoded->file.changes.size() != std::size_t(records)) {
            state.SkipWithError("decoding failed");
            break;
        }
    }
    state.counters["file_bytes"] = double(encoded->size());
}

BENCHMARK(BM_Encode)->Arg(100)->Arg(25'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decode)->Arg(100)->Arg(25'000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

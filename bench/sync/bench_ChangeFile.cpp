// Writing and reading change files of 100 and 25,000 records (the largest
// near the 16 MiB a file may take): web links with non-ASCII titles, one in
// ten records a deletion.

#include "sync/ChangeFile.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>

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

// A snapshot file of N web links made one at a time and read back as a
// stream: memory holds the compressed file and one record, not the tree.
void BM_SnapshotStream(benchmark::State &state)
{
    const QUuid device = QUuid::createUuid();
    const QUuid workspace = QUuid::createUuid();
    const QUuid parent = QUuid::createUuid();
    const Timestamp now = currentTimestamp();
    const int records = int(state.range(0));
    std::size_t bytes = 0;
    double encodeSeconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        SnapshotEncoder encoder;
        (void)encoder.begin(SnapshotHeader{device, QStringLiteral("Laptop"), 42, {{QUuid::createUuid(), 17}}});
        for (int i = 0; i < records; ++i) {
            const QString url = QStringLiteral("https://docs.example.org/projects/%1/overview?tab=notes").arg(i);
            (void)encoder.add({SyncClock{1'733'650'000'000 + i / 3, i % 3, device}, std::nullopt,
                               WorkspaceNode(QUuid::createUuid(), workspace, parent, WorkspaceNodeKind::webLink,
                                             QStringLiteral("Quarterly planning review – résumé 日本語 #%1").arg(i),
                                             std::nullopt, i, false, std::nullopt, now, now, now,
                                             NodePayload::webLink({url, std::nullopt})),
                               std::nullopt});
        }
        auto encoded = encoder.finish();
        encodeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!encoded) {
            state.SkipWithError("encoding failed");
            break;
        }
        bytes = encoded->size();
        std::size_t offset = 0;
        SnapshotDecoder decoder([&](char *buffer, std::size_t size) -> std::ptrdiff_t {
            const std::size_t n = std::min(size, encoded->size() - offset);
            std::memcpy(buffer, encoded->data() + offset, n);
            offset += n;
            return std::ptrdiff_t(n);
        });
        int read = 0;
        bool ok = bool(decoder.header());
        for (;;) {
            auto item = decoder.next();
            if (!item || !*item) {
                ok = ok && item;
                break;
            }
            read += (*item)->record ? 1 : 0;
        }
        if (!ok || read != records) {
            state.SkipWithError("decoding failed");
            break;
        }
    }
    state.counters["file_bytes"] = double(bytes);
    state.counters["encode_s"] = encodeSeconds;
}

BENCHMARK(BM_SnapshotStream)->Arg(1000)->Arg(1'000'000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encode)->Arg(100)->Arg(25'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decode)->Arg(100)->Arg(25'000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

// Throughput of the server-output path (Utf8Stream, then LogTail) on ~200 MB of
// log-like text read in 64 KiB chunks. Prints MB/s (10^6 bytes) and peak RSS.
#include "core/LogTail.h"
#include "core/Utf8Stream.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

using mirovan::LogTail;
using mirovan::Utf8Stream;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kCorpus = 64 * kChunk;  // 4 MiB, cycled
constexpr std::size_t kChunks = (200'000'000 + kChunk - 1) / kChunk;

// Mostly ASCII request logs; about one line in four carries accented, CJK,
// emoji, flag or combining-mark text. Chunk edges fall wherever they fall.
std::string makeCorpus() {
    const char* extras[] = {" user=J\xC3\xBCrgen M\xC3\xBCller",
                            " path=/\xE6\x9D\xB1\xE4\xBA\xAC/\xE6\x96\x87\xE6\x9B\xB8",
                            " status=\xE2\x9C\x85 \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD",
                            " note=cafe\xCC\x81 na\xC3\xAFve \xF0\x9F\x87\xA9\xF0\x9F\x87\xAA"};
    std::mt19937 rng(7);
    auto pick = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
    std::string s;
    char line[160];
    while (s.size() + 300 < kCorpus) {
        std::snprintf(line, sizeof line, "2024-05-%02u 12:%02u:%02u INFO [worker-%u] GET /api/items/%u 200 %u ms",
                      pick(28) + 1, pick(60), pick(60), pick(8), pick(100000), pick(900));
        s += line;
        if (pick(4) == 0) s += extras[pick(4)];
        s += '\n';
    }
    s.append(kCorpus - s.size() - 1, '.');
    s += '\n';
    return s;
}

std::string_view chunk(const std::string& corpus, std::size_t i) {
    return std::string_view(corpus).substr((i % (kCorpus / kChunk)) * kChunk, kChunk);
}

double mbPerSec(std::size_t bytes, Clock::duration d) {
    return static_cast<double>(bytes) / 1e6 / std::chrono::duration<double>(d).count();
}

long peakRssKiB() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

}  // namespace

int main() {
    const std::string corpus = makeCorpus();
    const std::size_t total = kChunks * kChunk;

    // LogTail alone is fed what Utf8Stream produces for each chunk.
    std::vector<std::string> decoded;
    {
        Utf8Stream u;
        for (std::size_t i = 0; i < kCorpus / kChunk; ++i) decoded.push_back(u.decode(chunk(corpus, i)));
    }
    std::printf("setup RSS: %.1f MiB\n", static_cast<double>(peakRssKiB()) / 1024);

    std::size_t sink = 0;
    auto t0 = Clock::now();
    {
        Utf8Stream u;
        for (std::size_t i = 0; i < kChunks; ++i) sink += u.decode(chunk(corpus, i)).size();
        sink += u.finish().size();
    }
    const auto decodeTime = Clock::now() - t0;

    t0 = Clock::now();
    {
        LogTail tail;
        for (std::size_t i = 0; i < kChunks; ++i) tail.append(decoded[i % decoded.size()]);
        sink += tail.size();
    }
    const auto tailTime = Clock::now() - t0;

    t0 = Clock::now();
    {
        Utf8Stream u;
        LogTail tail;
        for (std::size_t i = 0; i < kChunks; ++i) tail.append(u.decode(chunk(corpus, i)));
        tail.append(u.finish());
        sink += tail.text().size();
    }
    const auto bothTime = Clock::now() - t0;

    std::printf("input: %.1f MB in %zu chunks of %zu bytes (check %zu)\n", static_cast<double>(total) / 1e6, kChunks,
                kChunk, sink);
    std::printf("Utf8Stream:          %8.1f MB/s\n", mbPerSec(total, decodeTime));
    std::printf("LogTail:             %8.1f MB/s\n", mbPerSec(total, tailTime));
    std::printf("Utf8Stream+LogTail:  %8.1f MB/s\n", mbPerSec(total, bothTime));
    std::printf("peak RSS: %.1f MiB\n", static_cast<double>(peakRssKiB()) / 1024);
}

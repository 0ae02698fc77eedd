// Cost of accepting an update: unpack() (digest, extraction, strict signature check) on a
// signed ~200 MB bundle of a few thousand files, beside what the same work costs with the
// stock tools (sha256sum of the archive, unzip, sha256sum of every extracted file).
// Prints wall and CPU time and peak RSS of each, and their ratio.
//
// Usage: update_bench [--runs N] [--mb SIZE]. Works in a temporary folder under $TMPDIR
// (or /tmp), which it deletes.
#include "update/Digest.h"
#include "update/Extract.h"
#include "update/Signature.h"
#include "update/Signing.h"
#include "update/Unpack.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kIdentifier = "org.mirovan.UpdateBench";
constexpr std::int64_t kVersion = 2;

struct Cost {
    double wall = 0;   // seconds
    double cpu = 0;    // user + system seconds
    long peakKiB = 0;  // largest resident set of the processes involved
    bool ok = true;

    Cost& operator+=(const Cost& o) {
        wall += o.wall;
        cpu += o.cpu;
        peakKiB = std::max(peakKiB, o.peakKiB);
        ok = ok && o.ok;
        return *this;
    }
};

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

Cost costOf(const rusage& ru, Clock::time_point start, int status) {
    Cost c;
    c.wall = std::chrono::duration<double>(Clock::now() - start).count();
    c.cpu = seconds(ru.ru_utime) + seconds(ru.ru_stime);
    c.peakKiB = ru.ru_maxrss;
    c.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return c;
}

// Runs argv and collects its rusage with wait4, which also covers the children it waited
// for (the find | xargs pipeline under sh). Its standard output goes to /dev/null.
// fork rather than posix_spawn: a vfork-style spawn shares our memory until exec, and the
// kernel would carry our own peak resident set over into the child's.
Cost runCommand(const std::vector<std::string>& args, const std::string& cwd = {}) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if ((cwd.empty() || chdir(cwd.c_str()) == 0) && null >= 0 && dup2(null, STDOUT_FILENO) >= 0)
            execvp(argv[0], argv.data());
        std::fprintf(stderr, "update_bench: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    return costOf(ru, start, status);
}

// unpack() in a child process, so its peak resident set is its own and not the bundle
// generator's.
Cost runUnpack(const std::string& archive, const std::string& sha256, const mirovan::RunningApp& running) {
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        auto result = mirovan::unpack(archive, sha256, kVersion, running);
        if (!result) std::fprintf(stderr, "update_bench: unpack refused: %s\n", result.why().c_str());
        std::fflush(stderr);
        _exit(result ? 0 : 1);
    }
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    return costOf(ru, start, status);
}

// A reproducible bundle: a program, a few thousand resource files of mixed sizes (most
// small, some of hundreds of KB, a few of MBs), half text-like and compressible, half
// random, and some relative symlinks.
class BundleMaker {
public:
    explicit BundleMaker(std::uint64_t targetBytes) : target_(targetBytes) {}

    std::size_t files = 0;
    std::uint64_t bytes = 0;

    void make(const fs::path& app) {
        fs::create_directories(app / "Contents/Linux");
        std::ofstream(app / "Contents/Info.plist") << infoPlist();
        write(app / "Contents/Linux/program", 12u << 20, true, 0755);
        std::size_t n = 0;
        while (bytes < target_) {
            fs::path folder = app / "Contents/Resources" / ("part" + std::to_string(n / 400)) /
                              ("group" + std::to_string(n / 40 % 10));
            fs::create_directories(folder);
            fs::path file = folder / ("item" + std::to_string(n) + (n % 2 ? ".txt" : ".bin"));
            write(file, size(), n % 2 == 1, n % 17 == 0 ? 0755 : 0644);
            if (n % 97 == 0) fs::create_symlink(file.filename(), folder / ("link" + std::to_string(n)));
            ++n;
        }
    }

private:
    std::uint64_t size() {
        unsigned roll = rng_() % 100;
        if (roll < 80) return 512 + rng_() % (24u << 10);
        if (roll < 98) return (24u << 10) + rng_() % (232u << 10);
        return (256u << 10) + rng_() % (6u << 20);
    }

    void write(const fs::path& path, std::uint64_t length, bool text, unsigned mode) {
        static const char* words[] = {
            "bundle ",  "server ",   "window ", "update ", "page ", "signed ", "<div class=\"row\">",
            "</div>\n", "function ", "return ", "{\n",     "}\n"};
        std::string data;
        data.reserve(length);
        while (data.size() < length) {
            if (text) {
                data += words[rng_() % std::size(words)];
            } else {
                std::uint64_t r = rng_();
                data.append(reinterpret_cast<const char*>(&r), sizeof r);
            }
        }
        data.resize(length);
        std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
        fs::permissions(path, static_cast<fs::perms>(mode));
        bytes += length;
        ++files;
    }

    static std::string infoPlist() {
        return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>\n") +
               "<key>CFBundleIdentifier</key><string>" + kIdentifier + "</string>\n" +
               "<key>CFBundleVersion</key><string>" + std::to_string(kVersion) + "</string>\n" +
               "<key>CFBundleExecutable</key><string>program</string>\n</dict></plist>\n";
    }

    std::uint64_t target_;
    std::mt19937_64 rng_{20240501};
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double mib(long kib) { return static_cast<double>(kib) / 1024; }

void print(const char* what, const Cost& c) {
    std::printf("  %-34s %7.2f s wall  %7.2f s cpu  %8.1f MiB peak\n", what, c.wall, c.cpu, mib(c.peakKiB));
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    std::uint64_t megabytes = 200;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--runs"))
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--mb"))
            megabytes = std::max(1, std::atoi(argv[i + 1]));
    }

    const char* tmpdir = std::getenv("TMPDIR");
    std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/update-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("update_bench: mkdtemp");
        return 1;
    }
    const fs::path tmp = pattern;
    int status = 0;
    try {
        const fs::path source = tmp / "source", app = source / "Bench.app";
        const std::string archive = tmp / "Bench.zip", key = tmp / "key.pem";

        BundleMaker maker(megabytes * 1000 * 1000);
        maker.make(app);
        auto made = mirovan::makeKey(key);
        if (!made) throw std::runtime_error("cannot make a signing key");
        std::optional<std::string> team = *made;
        if (auto signature = mirovan::signBundle(app, key); !signature)
            throw std::runtime_error("signing failed: " + signature.why());
        if (!runCommand({"zip", "-qry", archive, "Bench.app"}, source).ok) throw std::runtime_error("zip failed");
        const std::string sha256 = *mirovan::sha256OfFile(archive);
        std::printf("bundle: %zu files, %.1f MB; archive %.1f MB; %d run(s), medians below\n", maker.files,
                    static_cast<double>(maker.bytes) / 1e6, static_cast<double>(fs::file_size(archive)) / 1e6, runs);

        const mirovan::RunningApp running{kIdentifier, team, kVersion - 1, tmp / "work"};
        const std::string extracted = tmp / "baseline";
        std::vector<Cost> ours, base;
        for (int run = 0; run < runs; ++run) {
            // Each side starts from an empty target, with no dirty pages of the other's
            // still to write. (The updater empties `work` before each download; doing it
            // here keeps the removal of the previous run's files out of the figures.)
            auto baseline = [&] {
                fs::remove_all(extracted);
                fs::create_directory(extracted);
                sync();
                Cost c = runCommand({"sha256sum", archive});
                c += runCommand({"unzip", "-q", archive, "-d", extracted});
                c += runCommand({"sh", "-c", "find . -type f -print0 | xargs -0 sha256sum"}, extracted);
                base.push_back(c);
            };
            auto unpacked = [&] {
                if (!mirovan::makeScratch(running.work)) throw std::runtime_error("no scratch folder");
                sync();
                ours.push_back(runUnpack(archive, sha256, running));
            };
            // Alternate who goes first, so neither always meets the other's writeback.
            if (run % 2 == 0) {
                baseline();
                unpacked();
            } else {
                unpacked();
                baseline();
            }
            if (!ours.back().ok || !base.back().ok) throw std::runtime_error("a run failed");
        }

        auto summary = [](const std::vector<Cost>& costs) {
            std::vector<double> wall, cpu, peak;
            for (const Cost& c : costs) {
                wall.push_back(c.wall);
                cpu.push_back(c.cpu);
                peak.push_back(static_cast<double>(c.peakKiB));
            }
            return Cost{median(wall), median(cpu), static_cast<long>(median(peak)), true};
        };
        Cost o = summary(ours), b = summary(base);
        print("unpack() (digest+extract+verify)", o);
        print("sha256sum, unzip, sha256sum of each", b);
        std::printf("  ratio unpack/baseline: %.2fx wall, %.2fx cpu, %.2fx peak memory (aim: <= 1.5x wall)\n",
                    o.wall / b.wall, o.cpu / b.cpu, mib(o.peakKiB) / mib(b.peakKiB));

        // Where unpack's time goes, each step alone in this process.
        fs::remove_all(tmp / "parts");
        fs::create_directories(tmp / "parts");
        sync();
        auto t0 = Clock::now();
        (void)mirovan::sha256OfFile(archive);
        auto t1 = Clock::now();
        bool extractedOk = bool(mirovan::extractZip(archive, tmp / "parts", {UINT64_MAX, UINT64_MAX}));
        auto t2 = Clock::now();
        auto checked = mirovan::team((tmp / "parts/Bench.app").string());
        bool verified = checked && *checked == team;
        auto t3 = Clock::now();
        auto s = [](auto d) { return std::chrono::duration<double>(d).count(); };
        std::printf("  steps alone: digest %.2f s, extraction %.2f s%s, signature check %.2f s%s\n", s(t1 - t0),
                    s(t2 - t1), extractedOk ? "" : " (FAILED)", s(t3 - t2), verified ? "" : " (FAILED)");
        if (!extractedOk || !verified) status = 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "update_bench: %s\n", e.what());
        status = 1;
    }
    std::error_code ignored;
    fs::remove_all(tmp, ignored);
    return status;
}

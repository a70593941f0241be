// Times the text routines over an 8 MiB page against memmem on the same bytes, and prints each
// routine's ratio to memmem after the usual table.
#include <benchmark/benchmark.h>

#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <string>

#include "platform/allocator.hpp"
#include "text/text_primitives.hpp"
#include "text/text_routines.hpp"

namespace {

using namespace tarlowen;

constexpr std::size_t kPageSize = 8 * 1024 * 1024;

// A page of the given share of two-byte characters, with the target placed once near its end.
std::string makePage(double twoByteShare, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> share(0.0, 1.0);
    std::uniform_int_distribution<int> lead(0xB0, 0xF7);
    std::uniform_int_distribution<int> trail(0xA1, 0xFE);
    std::uniform_int_distribution<int> ascii(0x20, 0x7E);
    std::string page;
    page.reserve(kPageSize + 64);
    while (page.size() < kPageSize - 64) {
        if (share(random) < twoByteShare) {
            page.push_back(static_cast<char>(lead(random)));
            page.push_back(static_cast<char>(trail(random)));
        } else {
            char c = static_cast<char>(ascii(random));
            page.push_back(c == '"' ? '\'' : c);  // keep the only quotes the ones placed below
        }
    }
    page += "\"nick\":\"singer\",\"song_name\":\"title\"";
    return page;
}

const std::string& page(int kind) {
    static const std::string mostlyAscii = makePage(0.05, 1);
    static const std::string mostlyTwoByte = makePage(0.95, 2);
    // Adversarial: the target almost matches at every position.
    static const std::string adversarial = std::string(kPageSize - 32, 'a') + "aaaaaaaaaaaaaaab";
    return kind == 0 ? mostlyAscii : kind == 1 ? mostlyTwoByte : adversarial;
}

const char* target(int kind) { return kind == 2 ? "aaaaaaaaaaaaaaab" : "\"song_name\":\""; }

void setLabel(benchmark::State& state) {
    static const char* const names[] = {"mostly-ascii", "mostly-two-byte", "adversarial"};
    state.SetLabel(names[state.range(0)]);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page(static_cast<int>(state.range(0))).size()));
}

void memmemBaseline(benchmark::State& state) {
    const std::string& text = page(static_cast<int>(state.range(0)));
    const char* needle = target(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(memmem(text.data(), text.size(), needle, std::strlen(needle)));
    }
    setLabel(state);
}

void searchText(benchmark::State& state) {
    const std::string& text = page(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(SearchText(text, target(static_cast<int>(state.range(0)))));
    }
    setLabel(state);
}

void searchTextIgnoringCase(benchmark::State& state) {
    const std::string& text = page(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(SearchText(text, target(static_cast<int>(state.range(0))), std::nullopt, true));
    }
    setLabel(state);
}

void textBetween(benchmark::State& state) {
    const std::string& text = page(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(TextBetween(text, target(static_cast<int>(state.range(0))), "\""));
    }
    setLabel(state);
}

// The file-name cleaning of the download cycle, applied to a whole page: every pair case-insensitive.
void replaceEach(benchmark::State& state) {
    const std::string& text = page(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            ReplaceEach(text, std::nullopt, std::nullopt, std::nullopt, "\\", "", "/", "", ":", "", "*", "", "?", ""));
    }
    setLabel(state);
}

BENCHMARK(memmemBaseline)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(searchText)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(searchTextIgnoringCase)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(textBetween)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(replaceEach)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

// Keeps each run's time so the ratios can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            m_times[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
    }

    void printRatios() const {
        std::cout << "\nratio to memmem on the same page (1.0 = as fast as memmem)\n";
        for (const auto& [name, time] : m_times) {
            const auto slash = name.find('/');
            const std::string baseline = "memmemBaseline" + name.substr(slash);
            if (name.starts_with("memmemBaseline") || !m_times.contains(baseline)) {
                continue;
            }
            std::printf("  %-34s %8.2fx\n", name.c_str(), time / m_times.at(baseline));
        }
    }

private:
    std::map<std::string, double> m_times;
};

}  // namespace

int main(int argc, char** argv) {
    keepLargeBuffersForReuse();  // as the program does at start
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}

#include "load_memory.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

namespace load {

namespace {

// Field `name` ("VmRSS:", "RssAnon:") of /proc/<pid>/status in KiB, or -1.
long statusKiB(pid_t pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, name.size(), name) == 0) {
            return std::stol(line.substr(name.size()));
        }
    }
    return -1;
}

long medianOf(std::vector<long> values) {
    if (values.empty()) {
        return -1;
    }
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// The median of field `field` over samples [from, to).
template <typename Samples, typename Field>
long median(const Samples& samples, size_t from, size_t to, Field field) {
    std::vector<long> values;
    for (size_t i = from; i < to && i < samples.size(); ++i) {
        values.push_back(samples[i].*field);
    }
    return medianOf(values);
}

}  // namespace

MemoryWatch::MemoryWatch(pid_t pid, std::chrono::milliseconds warmUp)
    : m_pid(pid), m_warmUp(warmUp) {}

MemoryWatch::~MemoryWatch() {
    stop();
}

void MemoryWatch::start() {
    m_sampler = std::thread([this] {
        const auto begin = std::chrono::steady_clock::now();
        auto next = begin + m_warmUp;
        while (!m_stopping) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (std::chrono::steady_clock::now() >= next) {
                sample();
                next += std::chrono::seconds(1);
            }
        }
    });
}

void MemoryWatch::stop() {
    m_stopping = true;
    if (m_sampler.joinable()) {
        m_sampler.join();
    }
}

void MemoryWatch::sample() {
    Sample sample{statusKiB(m_pid, "VmRSS:"), statusKiB(m_pid, "RssAnon:")};
    if (sample.residentKiB > 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_samples.push_back(sample);
    }
}

void MemoryWatch::check(Verdicts& verdicts) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const size_t n = m_samples.size();
    const size_t stretches = std::min<size_t>(12, std::max<size_t>(n, 1));
    std::printf(
        "bucket service memory after the warm-up, median per stretch of %zu s "
        "(resident / anonymous KiB):",
        std::max<size_t>(n / stretches, 1));
    for (size_t s = 0; s < stretches && n > 0; ++s) {
        const size_t from = s * n / stretches;
        const size_t to = (s + 1) * n / stretches;
        std::printf(" %ld/%ld", median(m_samples, from, to, &Sample::residentKiB),
                    median(m_samples, from, to, &Sample::anonymousKiB));
    }
    std::printf("\n");
    const long firstHalf = median(m_samples, 0, n / 2, &Sample::residentKiB);
    const long secondHalf = median(m_samples, n / 2, n, &Sample::residentKiB);
    const long thirdQuarter = median(m_samples, n / 2, 3 * n / 4, &Sample::residentKiB);
    const long lastQuarter = median(m_samples, 3 * n / 4, n, &Sample::residentKiB);
    verdicts.check(n >= 8 && firstHalf > 0 && secondHalf * 10 <= firstHalf * 11,
                   "the bucket service's memory in the second half of the run stayed within 10% "
                   "of the first half (medians of " +
                       std::to_string(n) + " samples)",
                   std::to_string(firstHalf) + " KiB -> " + std::to_string(secondHalf) + " KiB");
    verdicts.check(
        n >= 8 && thirdQuarter > 0 && lastQuarter * 20 <= thirdQuarter * 21,
        "the bucket service's memory levelled off: last quarter within 5% of the third",
        std::to_string(thirdQuarter) + " KiB -> " + std::to_string(lastQuarter) + " KiB");
}

}  // namespace load

#include "hostile_ignored_parts.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "process_probe.h"
#include "raw_connection.h"

namespace reliability {

namespace {

const char* const kBoundary = "ignoredPartsBoundary4Qx81";
// With "attributes" and "bucket" these fill the 64 parts a form may hold.
constexpr int kIgnoredBesideFile = 62;
constexpr int kIgnoredAlone = 64;
constexpr size_t kChunkBytes = 1 << 20;
constexpr long kMemorySlackKb = 64 * 1024;
const char* const kMissingFile =
    "{ \"message\" : \"Failed to add bucket, missing 'bucket' file\" }";

// What one form's exchange gave and what was seen while it streamed.
struct FormRun {
    RawAnswer answer;
    size_t uploadFiles = 0;      // most temporary files seen at one moment
    std::map<int, long> peakKb;  // pid -> highest VmRSS
    std::string failure;         // why the form could not be sent
};

std::string partHead(const std::string& name, const std::string& filename) {
    return std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name +
           "\"" + (filename.empty() ? "" : "; filename=\"" + filename + "\"") + "\r\n\r\n";
}

std::string closing() {
    return std::string("--") + kBoundary + "--\r\n";
}

// Temporary upload files (".upload-*") anywhere under `dir`.
size_t uploadFilesUnder(const std::string& dir) {
    namespace fs = std::filesystem;
    size_t found = 0;
    std::error_code error;
    fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->path().filename().string().rfind(".upload-", 0) == 0) {
            ++found;
        }
    }
    return found;
}

void sample(const IgnoredPartsSetup& setup, FormRun& run) {
    run.uploadFiles = std::max(run.uploadFiles, uploadFilesUnder(setup.dataDir));
    for (int pid : setup.pids) {
        run.peakKb[pid] = std::max(run.peakKb[pid], residentKb(pid));
    }
}

// Posts a form of `ignored` large file parts followed by `tail` (the rest of
// the form, closing delimiter included) to `port`, sampling the data
// directory and the processes' memory after every chunk of the ignored parts.
FormRun sendForm(const IgnoredPartsSetup& setup, uint16_t port, const std::string& prefix,
                 int ignored, const std::string& tail, const std::string& chunk) {
    FormRun run;
    uint64_t length = tail.size();
    for (int i = 0; i < ignored; ++i) {
        length += partHead("ignored" + std::to_string(i), "i.bin").size() + setup.partBytes + 2;
    }
    try {
        RawConnection connection(port);
        bool open = connection.send("POST " + prefix + "/bucket HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                                    "Content-Type: multipart/form-data; boundary=" + kBoundary +
                                    "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n");
        for (int i = 0; open && i < ignored; ++i) {
            open = connection.send(partHead("ignored" + std::to_string(i), "i.bin"));
            for (uint64_t sent = 0; open && sent < setup.partBytes; sent += chunk.size()) {
                const uint64_t left = setup.partBytes - sent;
                open = left >= chunk.size() ? connection.send(chunk)
                                            : connection.send(chunk.substr(0, left));
                sample(setup, run);
            }
            open = open && connection.send("\r\n");
        }
        open = open && connection.send(tail);
        run.answer = connection.readAnswer(std::chrono::seconds(120));
        if (!open && !run.answer.complete) {
            run.failure = "the connection closed before the form was sent";
        }
    } catch (const std::exception& e) {
        run.failure = e.what();
    }
    return run;
}

// The stored file of the bucket that `added` announces, "" when none.
std::string storedContent(uint16_t port, const std::string& prefix, const RawAnswer& added) {
    const size_t colon = added.body.find(':');
    if (added.status != 202 || colon == std::string::npos) {
        return "";
    }
    const std::string id = std::to_string(std::atoll(added.body.c_str() + colon + 1));
    RawConnection connection(port);
    connection.send("GET " + prefix + "/bucket/" + id + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const RawAnswer answer = connection.readAnswer(std::chrono::seconds(30));
    return answer.status == 200 ? answer.body : "";
}

// The verdicts gathered over every form.
struct Tally {
    std::vector<std::string> wrongAnswers;
    size_t uploadFiles = 0;  // most temporary files seen while ignored parts streamed
    size_t leftovers = 0;    // temporary files left after an answer
    std::map<int, long> peakKb;
    uint64_t streamedBytes = 0;
};

void record(const IgnoredPartsSetup& setup, const FormRun& run, Tally& tally) {
    tally.uploadFiles = std::max(tally.uploadFiles, run.uploadFiles);
    tally.leftovers += uploadFilesUnder(setup.dataDir);
    for (const auto& [pid, kb] : run.peakKb) {
        tally.peakKb[pid] = std::max(tally.peakKb[pid], kb);
    }
}

// The two forms against one port: with the used parts after the ignored
// ones (202, the file stored intact), and ignored parts alone (400).
void runOnPort(const IgnoredPartsSetup& setup, uint16_t port, const std::string& prefix,
               const std::string& chunk, Tally& tally) {
    const std::string where = prefix.empty() ? "bucket port" : "core";
    const std::string file =
        "ignored parts kind " + std::to_string(port) + " " +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::string tail = partHead("attributes", "") + "{\"hostile\":\"" + file + "\"}\r\n" +
                             partHead("bucket", "f.bin") + file + "\r\n" + closing();
    FormRun beside = sendForm(setup, port, prefix, kIgnoredBesideFile, tail, chunk);
    record(setup, beside, tally);
    if (!beside.failure.empty() || storedContent(port, prefix, beside.answer) != file) {
        tally.wrongAnswers.push_back(where +
                                     " with a file: " + std::to_string(beside.answer.status) + " " +
                                     beside.answer.body.substr(0, 120) + beside.failure);
    }
    FormRun alone = sendForm(setup, port, prefix, kIgnoredAlone, closing(), chunk);
    record(setup, alone, tally);
    if (!alone.failure.empty() || alone.answer.status != 400 || alone.answer.body != kMissingFile) {
        tally.wrongAnswers.push_back(where + " alone: " + std::to_string(alone.answer.status) +
                                     " " + alone.answer.body.substr(0, 120) + alone.failure);
    }
    tally.streamedBytes += (kIgnoredBesideFile + kIgnoredAlone) * setup.partBytes;
}

std::string memoryText(const std::map<int, long>& before, const std::map<int, long>& peak) {
    std::ostringstream text;
    for (const auto& [pid, kb] : peak) {
        text << " " << pid << ": " << before.at(pid) << " kB -> peak " << kb << " kB;";
    }
    return text.str();
}

}  // namespace

void runIgnoredPartsKind(const IgnoredPartsSetup& setup, const VerdictFunction& verdict) {
    std::string chunk(std::min<uint64_t>(kChunkBytes, setup.partBytes), '\0');
    std::mt19937 random(64);
    std::generate(chunk.begin(), chunk.end(), [&random] { return static_cast<char>(random()); });
    std::map<int, long> before;
    for (int pid : setup.pids) {
        before[pid] = residentKb(pid);
    }
    Tally tally;
    runOnPort(setup, setup.bucketPort, "", chunk, tally);
    runOnPort(setup, setup.corePort, "/tarvolt", chunk, tally);

    const std::string kind = "64 large ignored file parts (" +
                             std::to_string(setup.partBytes >> 20) + " MiB each, " +
                             std::to_string(tally.streamedBytes >> 20) + " MiB in all): ";
    std::string wrong;
    for (const std::string& answer : tally.wrongAnswers) {
        wrong += " [" + answer + "]";
    }
    verdict(
        tally.wrongAnswers.empty(),
        kind + "answered 202 with the file intact, or 400 without a file, on both ports" + wrong);
    verdict(tally.uploadFiles == 0 && tally.leftovers == 0,
            kind +
                "no temporary file under the data directory while they streamed (most at once: " +
                std::to_string(tally.uploadFiles) + ") nor after (" +
                std::to_string(tally.leftovers) + ")");
    bool bounded = true;
    for (const auto& [pid, kb] : tally.peakKb) {
        bounded = bounded && before[pid] >= 0 && kb >= 0 && kb < before[pid] + kMemorySlackKb;
    }
    verdict(bounded, kind + "memory bounded (less than " + std::to_string(kMemorySlackKb >> 10) +
                         " MiB above the start):" + memoryText(before, tally.peakKb));
}

}  // namespace reliability

// tarvolt-hostile: sends malformed and abusive HTTP requests over raw
// sockets to the bucket service's port and the core's public port, then
// checks that every process is still up, its memory stayed bounded, the
// stored buckets are unchanged, and every answer was an error status with a
// JSON body (or a closed connection).
//
// Usage: tarvolt-hostile --bucket-port=P --core-port=Q --pids=core,bucket,storage
//        [--rounds=N] [--min-requests=M] (the least number of requests the run
//        must send; default 10000) [--data-dir=D --ignored-part-mib=S] (with D, the
//        platform's data directory, the kind "64 large ignored file parts"
//        runs too, with parts of S MiB, default 16; hostile_ignored_parts.h)
//        [--slow-connections=2000] (many slow connections against the bucket
//        port, hostile_slow.h; 0: none)
// Prints one line per check, then "hostile: N of M checks passed".
#include <rapidjson/document.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hostile_ignored_parts.h"
#include "hostile_slow.h"
#include "process_probe.h"
#include "raw_connection.h"

namespace {

using reliability::RawAnswer;
using reliability::RawConnection;
using Clock = std::chrono::steady_clock;

const char* const kBoundary = "hostileBoundary7MA4YWxk";

// One abusive request: the bytes, how they are sent, and whether HTTP lets
// the server accept it (a body on a GET is legal, for example).
struct Attack {
    std::string name;
    std::string bytes;
    bool truncate = false;   // close the sending side after the bytes
    int slowMillis = 0;      // send one byte per slowMillis, for at most 3 s
    bool mayAccept = false;  // a 2xx answer is fine
};

struct Tally {
    long sent = 0, errors = 0, closed = 0, accepted = 0;
    std::map<std::string, long> faults;  // attack name + what went wrong -> count
    std::map<std::string, std::string> examples;
    std::map<uint16_t, long> sentTo;        // port -> requests
    std::map<int, long> statuses;           // status -> answers
    std::map<std::string, double> slowest;  // attack name -> longest seconds
};

std::string request(const std::string& line, const std::string& headers, const std::string& body) {
    return line + "\r\nHost: 127.0.0.1\r\n" + headers +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string multipart(const std::string& content, const std::string& attributes) {
    std::string b = std::string("--") + kBoundary + "\r\n";
    b += "Content-Disposition: form-data; name=\"bucket\"; filename=\"f.bin\"\r\n";
    b += "Content-Type: application/octet-stream\r\n\r\n" + content + "\r\n";
    b += std::string("--") + kBoundary +
         "\r\nContent-Disposition: form-data; name=\"attributes\"\r\n\r\n";
    return b + attributes + "\r\n--" + kBoundary + "--\r\n";
}

std::string formHeader() {
    return std::string("Content-Type: multipart/form-data; boundary=") + kBoundary + "\r\n";
}

std::string manyAttributes(size_t count) {
    std::string json = "{";
    for (size_t i = 0; i < count; ++i) {
        json += (i ? ",\"a" : "\"a") + std::to_string(i) + "\":\"v\"";
    }
    return json + "}";
}

std::vector<Attack> cheapAttacks(const std::string& p, std::mt19937& random) {
    std::string noise(200, '\0');
    for (char& c : noise) {
        c = static_cast<char>(random());
    }
    const std::string id = std::to_string(random() % 1000 + 900000);
    const std::string json = "Content-Type: application/json\r\n";
    std::vector<Attack> a;
    a.push_back({"garbage line", "GARBAGE\r\n\r\n"});
    a.push_back({"method only", "GET\r\n\r\n"});
    a.push_back({"bad version", "GET " + p + "/bucket HTTP/9.9\r\nHost: x\r\n\r\n"});
    Attack noisy{"binary noise", noise};
    noisy.truncate = true;  // otherwise the server rightly waits for the rest
    a.push_back(noisy);
    static const char kNulTarget[] = "/bucket\0x HTTP/1.1\r\n\r\n";  // the NUL is sent too
    a.push_back({"nul in line", "GET " + p + std::string(kNulTarget, sizeof kNulTarget - 1)});
    a.push_back({"unknown method", request("BREW " + p + "/bucket HTTP/1.1", "", "")});
    a.push_back({"folded header",
                 "GET " + p + "/bucket/" + id + " HTTP/1.1\r\nHost: x\r\nX-A: a\r\n b\r\n\r\n"});
    a.push_back(
        {"bad header name", "GET " + p + "/bucket/" + id + " HTTP/1.1\r\nBad Header: x\r\n\r\n"});
    a.push_back({"negative length",
                 "POST " + p + "/bucket HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\nab"});
    a.push_back({"huge length", "POST " + p + "/bucket HTTP/1.1\r\nHost: x\r\n" + formHeader() +
                                    "Content-Length: 99999999999999999999\r\n\r\nab"});
    a.push_back({"two lengths", "PUT " + p +
                                    "/bucket/match HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n"
                                    "Content-Length: 7\r\n\r\n{}"});
    a.push_back({"bad chunk", "PUT " + p +
                                  "/bucket/match HTTP/1.1\r\nHost: x\r\n"
                                  "Transfer-Encoding: chunked\r\n\r\nZZ\r\n{}\r\n0\r\n\r\n"});
    Attack truncated{"truncated body", "PUT " + p +
                                           "/bucket/match HTTP/1.1\r\nHost: x\r\n"
                                           "Content-Length: 1000\r\n\r\n{\"a\":"};
    truncated.truncate = true;
    a.push_back(truncated);
    Attack truncatedForm{"truncated upload", request("POST " + p + "/bucket HTTP/1.1", formHeader(),
                                                     multipart("abc", "{\"t\":\"x\"}"))};
    truncatedForm.bytes.resize(truncatedForm.bytes.size() - 30);
    truncatedForm.truncate = true;
    a.push_back(truncatedForm);
    Attack getBody{"body on GET", request("GET " + p + "/bucket/" + id + " HTTP/1.1", "", "hello")};
    a.push_back(getBody);
    Attack listBody{"body on list", request("GET " + p + "/bucket HTTP/1.1", "", "hello")};
    listBody.mayAccept = true;
    a.push_back(listBody);
    a.push_back(
        {"control chars in path", request("GET " + p + "/bucket/1\x01\x7f HTTP/1.1", "", "")});
    a.push_back(
        {"invalid utf8 in path", request("GET " + p + "/bucket/%FF%FE\xff\xfe HTTP/1.1", "", "")});
    a.push_back({"id overflow",
                 request("GET " + p + "/bucket/99999999999999999999999999 HTTP/1.1", "", "")});
    a.push_back({"delete overflow",
                 request("DELETE " + p + "/bucket/18446744073709551617 HTTP/1.1", "", "")});
    a.push_back({"nested json match", request("PUT " + p + "/bucket/match HTTP/1.1", json,
                                              std::string(20000, '[') + std::string(20000, ']'))});
    a.push_back({"nested json update", request("PUT " + p + "/bucket/" + id + " HTTP/1.1", json,
                                               std::string(20000, '{'))});
    a.push_back({"invalid utf8 attribute",
                 request("PUT " + p + "/bucket/match HTTP/1.1", json, "{\"k\":\"\xff\xfe\xc3\"}")});
    a.push_back({"control chars attribute",
                 request("PUT " + p + "/bucket/match HTTP/1.1", json, "{\"k\x01\":\"a\x02\tb\"}")});
    a.push_back({"json upload", request("POST " + p + "/bucket HTTP/1.1", json, "{\"a\":\"b\"}")});
    a.push_back(
        {"form without boundary", request("POST " + p + "/bucket HTTP/1.1",
                                          "Content-Type: multipart/form-data\r\n", "--x--\r\n")});
    a.push_back({"form bad attributes", request("POST " + p + "/bucket HTTP/1.1", formHeader(),
                                                multipart("abc", "{\"k\":\"\xff\x01\"}"))});
    a.push_back({"form nested attributes", request("POST " + p + "/bucket HTTP/1.1", formHeader(),
                                                   multipart("abc", std::string(5000, '[')))});
    return a;
}

// `keptId` is a stored bucket that the update attack aims at.
std::vector<Attack> heavyAttacks(const std::string& p, const std::string& keptId) {
    const std::string json = "Content-Type: application/json\r\n";
    std::vector<Attack> a;
    a.push_back({"long request line",
                 request("GET " + p + "/" + std::string(200000, 'a') + " HTTP/1.1", "", "")});
    a.push_back({"oversized header", request("GET " + p + "/bucket HTTP/1.1",
                                             "X-Big: " + std::string(1 << 20, 'b') + "\r\n", "")});
    std::string headers;
    for (int i = 0; i < 10000; ++i) {
        headers += "X-H" + std::to_string(i) + ": v\r\n";
    }
    a.push_back(
        {"10000 headers", request("GET " + p + "/bucket HTTP/1.1", headers, ""), false, 0, true});
    const std::string many = "{\"attributes\":" + manyAttributes(100000) + "}";
    a.push_back(
        {"100000 attributes match", request("PUT " + p + "/bucket/match HTTP/1.1", json, many)});
    a.push_back({"100000 attributes update",
                 request("PUT " + p + "/bucket/" + keptId + " HTTP/1.1", json, many)});
    a.push_back({"200 attributes match", request("PUT " + p + "/bucket/match HTTP/1.1", json,
                                                 "{\"attributes\":" + manyAttributes(200) + "}")});
    a.push_back({"100000 attributes upload", request("POST " + p + "/bucket HTTP/1.1", formHeader(),
                                                     multipart("abc", manyAttributes(100000)))});
    a.push_back({"deep nesting 1M",
                 request("PUT " + p + "/bucket/match HTTP/1.1", json, std::string(1000000, '['))});
    // 80 MiB of chunks: more than any buffered body may hold.
    const std::string chunk = "10000\r\n" + std::string(0x10000, 'x') + "\r\n";
    Attack endless{"endless chunked body", "PUT " + p + "/bucket/match HTTP/1.1\r\nHost: x\r\n" +
                                               json + "Transfer-Encoding: chunked\r\n\r\n"};
    for (int i = 0; i < 80 * 16; ++i) {
        endless.bytes += chunk;
    }
    a.push_back(endless);
    // A length far above what the body holds: the bucket port refuses it at
    // once; the core's proxy cannot know its service's limit and waits for
    // the body, so the client gives up and closes its side.
    Attack gib{"1 GiB length", "PUT " + p + "/bucket/match HTTP/1.1\r\nHost: x\r\n" + json +
                                   "Content-Length: 1073741824\r\n\r\n{"};
    gib.truncate = true;
    a.push_back(gib);
    Attack slow{"slow sender",
                "PUT " + p +
                    "/bucket/match HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n{\"a\":\"b\""};
    slow.slowMillis = 100;
    a.push_back(slow);
    return a;
}

void note(Tally& t, const Attack& attack, const std::string& what, const std::string& example) {
    const std::string key = attack.name + ": " + what;
    if (t.faults[key]++ == 0) {
        t.examples[key] = example.substr(0, 200);
    }
}

void judge(Tally& t, const Attack& attack, const RawAnswer& answer) {
    if (answer.timedOut) {
        note(t, attack, "no answer and no close within the deadline", "");
        return;
    }
    if (!answer.complete) {
        ++t.closed;
        return;
    }
    ++t.statuses[answer.status];
    if (answer.status >= 200 && answer.status < 300) {
        ++t.accepted;
        if (!attack.mayAccept) {
            note(t, attack, "accepted with " + std::to_string(answer.status), answer.body);
        }
    } else if (answer.status >= 400) {
        ++t.errors;
        if (answer.status >= 500 && answer.status != 503) {
            note(t, attack, "server error " + std::to_string(answer.status), answer.body);
        }
    } else {
        note(t, attack, "status " + std::to_string(answer.status), answer.body);
    }
    rapidjson::Document document;
    document.Parse(answer.body.c_str(), answer.body.size());
    if (document.HasParseError() || !document.IsObject()) {
        note(t, attack, "answer body is not a JSON object", answer.body);
    }
}

void run(Tally& t, const Attack& attack, uint16_t port) {
    ++t.sent;
    ++t.sentTo[port];
    const auto start = Clock::now();
    try {
        RawConnection connection(port);
        bool open = true;
        if (attack.slowMillis > 0) {
            const auto until = Clock::now() + std::chrono::seconds(3);
            for (size_t i = 0; open && i < attack.bytes.size() && Clock::now() < until; ++i) {
                open = connection.send(attack.bytes.substr(i, 1));
                std::this_thread::sleep_for(std::chrono::milliseconds(attack.slowMillis));
            }
        } else {
            open = connection.send(attack.bytes);
        }
        if (attack.truncate || attack.slowMillis > 0) {
            connection.shutdownWrite();
        }
        judge(t, attack, connection.readAnswer(std::chrono::seconds(attack.slowMillis ? 40 : 15)));
    } catch (const std::exception& e) {
        note(t, attack, "cannot connect", e.what());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    t.slowest[attack.name] = std::max(t.slowest[attack.name], seconds);
}

// A well-formed request through the raw connection; returns the answer
// (an empty one when the server cannot be reached).
RawAnswer plain(uint16_t port, const std::string& bytes) {
    try {
        RawConnection connection(port);
        connection.send(bytes);
        return connection.readAnswer(std::chrono::seconds(15));
    } catch (const std::exception&) {
        return RawAnswer();
    }
}

// The stored state: the bucket list plus every listed bucket's content.
std::string snapshot(uint16_t port) {
    std::string state = plain(port, request("GET /bucket HTTP/1.1", "", "")).body;
    rapidjson::Document document;
    document.Parse(state.c_str());
    if (document.IsObject() && document.HasMember("buckets") && document["buckets"].IsArray()) {
        for (const auto& bucket : document["buckets"].GetArray()) {
            if (bucket.IsObject() && bucket.HasMember("bucket") && bucket["bucket"].IsUint64()) {
                const std::string id = std::to_string(bucket["bucket"].GetUint64());
                state += "\n" + id + "=" +
                         std::to_string(std::hash<std::string>()(
                             plain(port, request("GET /bucket/" + id + " HTTP/1.1", "", "")).body));
            }
        }
    }
    return state;
}

std::string option(int argc, char** argv, const std::string& name, const std::string& fallback) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--" + name + "=", 0) == 0) {
            return arg.substr(name.size() + 3);
        }
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const uint16_t bucketPort =
        static_cast<uint16_t>(std::stoi(option(argc, argv, "bucket-port", "0")));
    const uint16_t corePort =
        static_cast<uint16_t>(std::stoi(option(argc, argv, "core-port", "0")));
    const int rounds = std::stoi(option(argc, argv, "rounds", "180"));
    const long minRequests = std::stol(option(argc, argv, "min-requests", "10000"));
    const int slowConnections = std::stoi(option(argc, argv, "slow-connections", "2000"));
    std::vector<int> pids;
    std::stringstream pidList(option(argc, argv, "pids", ""));
    for (std::string pid; std::getline(pidList, pid, ',');) {
        pids.push_back(std::stoi(pid));
    }
    int passed = 0, checks = 0;
    auto check = [&](bool ok, const std::string& what) {
        ++checks;
        passed += ok ? 1 : 0;
        std::printf("[%s] %s\n", ok ? "pass" : "FAIL", what.c_str());
        std::fflush(stdout);
    };

    std::string keptId = "1";
    for (int i = 0; i < 3; ++i) {
        const RawAnswer added = plain(
            bucketPort, request("POST /bucket HTTP/1.1", formHeader(),
                                multipart("content " + std::to_string(i),
                                          "{\"hostile\":\"keep" + std::to_string(i) + "\"}")));
        rapidjson::Document document;
        document.Parse(added.body.c_str());
        if (document.IsObject() && document.HasMember("bucket") && document["bucket"].IsUint64()) {
            keptId = std::to_string(document["bucket"].GetUint64());
        }
    }
    const std::string before = snapshot(bucketPort);
    std::map<int, long> rssBefore;
    for (int pid : pids) {
        rssBefore[pid] = reliability::residentKb(pid);
    }

    Tally tally;
    std::mt19937 random(8);
    const std::vector<std::pair<std::string, uint16_t>> targets = {{"", bucketPort},
                                                                   {"/tarvolt", corePort}};
    for (int round = 0; round < rounds; ++round) {
        if (round % 20 == 0) {
            std::printf("round %d of %d: %ld sent, %zu kinds of fault\n", round, rounds, tally.sent,
                        tally.faults.size());
            std::fflush(stdout);
        }
        for (const auto& target : targets) {
            for (const Attack& attack : cheapAttacks(target.first, random)) {
                run(tally, attack, target.second);
            }
            if (round % 60 == 0) {
                for (const Attack& attack : heavyAttacks(target.first, keptId)) {
                    run(tally, attack, target.second);
                }
            }
        }
    }

    std::printf("sent %ld hostile requests: %ld error answers, %ld closed, %ld accepted\n",
                tally.sent, tally.errors, tally.closed, tally.accepted);
    for (const auto& [port, count] : tally.sentTo) {
        std::printf("  port %u: %ld requests\n", port, count);
    }
    std::printf("  %zu kinds; answers by status:", tally.slowest.size());
    for (const auto& [status, count] : tally.statuses) {
        std::printf(" %d x%ld", status, count);
    }
    std::vector<std::pair<double, std::string>> slow;
    for (const auto& [name, seconds] : tally.slowest) {
        slow.emplace_back(seconds, name);
    }
    std::sort(slow.rbegin(), slow.rend());
    std::printf("\n  slowest kinds (longest single request):");
    for (size_t i = 0; i < slow.size() && i < 5; ++i) {
        std::printf(" %s %.2f s;", slow[i].second.c_str(), slow[i].first);
    }
    std::printf("\n");
    for (const auto& fault : tally.faults) {
        std::printf("  %ld x %s  e.g. %s\n", fault.second, fault.first.c_str(),
                    tally.examples[fault.first].c_str());
    }
    check(tally.sent >= minRequests,
          "at least " + std::to_string(minRequests) + " hostile requests sent");
    check(tally.faults.empty(),
          "every answer an error status with a JSON body, or a closed connection");
    if (slowConnections > 0 && pids.size() > 1) {
        reliability::SlowConnectionsRun slowRun;
        slowRun.bucketPort = bucketPort;
        slowRun.corePort = corePort;
        slowRun.bucketPid = pids[1];
        slowRun.connections = slowConnections;
        reliability::runSlowConnections(slowRun, check);
    }
    for (int pid : pids) {
        const long after = reliability::residentKb(pid);
        check(::kill(pid, 0) == 0, "process " + std::to_string(pid) + " still up");
        check(after >= 0 && after < rssBefore[pid] + 100 * 1024,
              "process " + std::to_string(pid) + " memory bounded: VmRSS " +
                  std::to_string(rssBefore[pid]) + " kB -> " + std::to_string(after) + " kB");
    }
    check(before.find("keep2") != std::string::npos && snapshot(bucketPort) == before,
          "stored buckets unchanged (list and content hashes)");
    // Stores a bucket per port, so it runs after the state comparison.
    const std::string dataDir = option(argc, argv, "data-dir", "");
    if (!dataDir.empty()) {
        reliability::IgnoredPartsSetup setup{
            bucketPort, corePort, pids, dataDir,
            std::stoull(option(argc, argv, "ignored-part-mib", "16")) << 20};
        reliability::runIgnoredPartsKind(setup, check);
    }
    std::printf("hostile: %d of %d checks passed\n", passed, checks);
    return passed == checks ? 0 : 1;
}

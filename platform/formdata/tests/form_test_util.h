// Helpers for the form reader's tests: building multipart bodies, feeding
// them to a sink in chosen chunk sizes, and describing the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "form_data_sink.h"
#include "form_limits.h"

struct TestPart {
    std::string name;
    std::string content;
    std::string filename;  // used when isFile
    bool isFile = false;
    std::string extraHeaders;  // whole lines, each ending in CRLF
};

std::string formContentType(const std::string& boundary);

// A well-formed body: preamble, the parts, the closing delimiter, epilogue.
std::string buildBody(const std::string& boundary, const std::vector<TestPart>& parts,
                      const std::string& preamble = "", const std::string& epilogue = "");

// Feeds `body` to a new FormDataSink writing into `dir`, in chunks whose sizes
// cycle through `chunkSizes` (0 stands for "all the rest"). Returns a
// description of the parts, or "error: <message>" when the sink refused.
std::string parseInChunks(const std::string& contentType, const std::string& body,
                          const std::vector<size_t>& chunkSizes, const std::string& dir,
                          const FormLimits& limits = FormLimits());

// "name|filename|file-or-data|size|content" per part, content read back from
// the temporary file for streamed parts.
std::string describeParts(const std::vector<FormPart>& parts);

std::string randomBytes(size_t size, uint32_t seed);

// Names in `dir` (not recursive), sorted.
std::vector<std::string> directoryEntries(const std::string& dir);

std::string readWholeFile(const std::string& path);

// The outcome of one operation of the core's stores and APIs: an HTTP status
// and the JSON text to answer with ({ "message" : "..." } for failures).
//
// Thread-safety: a plain value type.
#pragma once

#include <string>

#include "json_util.h"

struct CoreResult {
    int status = 200;
    std::string json;

    bool ok() const { return status >= 200 && status < 300; }

    static CoreResult success(std::string json) { return {200, std::move(json)}; }
    static CoreResult failure(int status, const std::string& message) {
        return {status, "{ \"message\" : " + JSONquote(message) + " }"};
    }
};

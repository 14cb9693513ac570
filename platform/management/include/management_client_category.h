// The definition of ManagementClient::addCategory, a member template so that
// any category class with getName, getDescription, getDisplayName and
// itemsToJSON can be sent. Included at the end of management_client.h.
//
// The request: POST "/tarvolt/service/category", with
// "?keep_original_items=true" appended when the caller wants the values the
// core already holds kept, and the body
//   { "key" : "<name>", "description" : "<description>"[, "display_name" :
//   "<display name>"], "value" : <items> }
// Only the answer's body decides the outcome (its status code is not
// examined): a JSON object without a "message" member means success.
//
// Thread-safety: as ManagementClient.
#pragma once

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <boost/system/system_error.hpp>
#include <string>
#include <vector>

#include "json_util.h"
#include "logger.h"

namespace management_detail {

// Strings a category name may not contain; built once per process.
inline const std::vector<std::string>& forbiddenCategoryStrings() {
    static const std::vector<std::string> forbidden{"\\"};
    return forbidden;
}

// Checks a category name. Returns false, with the offending string in
// `found` (empty for an empty name), when the name is invalid.
inline bool categoryNameIsValid(const std::string& name, std::string& found) {
    found.clear();
    if (name.empty())
        return false;
    for (const auto& forbidden : forbiddenCategoryStrings()) {
        if (name.find(forbidden) != std::string::npos) {
            found = forbidden;
            return false;
        }
    }
    return true;
}

// The "message" member of an answer as text: strings as they are, any
// other value as its JSON text.
inline std::string messageText(const rapidjson::Value& message) {
    if (message.IsString())
        return std::string(message.GetString(), message.GetStringLength());
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    message.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

// Decides the outcome of a category request from the answer's body and logs
// why it failed.
inline bool categoryAnswerAccepted(const std::string& body) {
    Logger* logger = Logger::getLogger();
    rapidjson::Document document;
    if (JSONnestingWithin(body, 64))
        document.Parse(body.data(), body.size());
    if (!JSONnestingWithin(body, 64) || document.HasParseError()) {
        logger->error("Failed to parse result of adding a category: %s\n", body.c_str());
        return false;
    }
    if (!document.IsObject()) {
        logger->error("Failed to add configuration category: unexpected answer %s.", body.c_str());
        return false;
    }
    if (document.HasMember("message")) {
        logger->error("Failed to add configuration category: %s.",
                      messageText(document["message"]).c_str());
        return false;
    }
    return true;
}

}  // namespace management_detail

template <class T>
bool ManagementClient::addCategory(const T& category, bool keepOriginalItems) {
    const std::string& name = category.getName();
    std::string found;
    if (!management_detail::categoryNameIsValid(name, found)) {
        Logger::getLogger()->error("The category name %s contains %s invalid character(s).",
                                   name.c_str(), found.c_str());
        return false;
    }
    try {
        std::string url = "/tarvolt/service/category";
        if (keepOriginalItems)
            url += "?keep_original_items=true";

        std::string payload = "{ \"key\" : \"" + JSONescape(name);
        payload += "\", \"description\" : \"" + JSONescape(category.getDescription());
        if (!category.getDisplayName().empty()) {
            payload += "\", \"display_name\" : \"" + JSONescape(category.getDisplayName());
        }
        payload += "\", \"value\" : " + category.itemsToJSON();
        payload += " }";

        http::ClientResponse response = getHttpClient()->request("POST", url, payload);
        return management_detail::categoryAnswerAccepted(response.body);
    } catch (const boost::system::system_error& e) {
        Logger::getLogger()->error("Add config category failed %s.", e.what());
        return false;
    }
}

// Status codes and their status-line texts ("200 OK", "404 Not Found", ...).
//
// Thread-safety: all functions are pure and safe to call from any thread.
#pragma once

#include <string>

namespace http {

enum class StatusCode : int {
    information_continue = 100,
    success_ok = 200,
    success_created = 201,
    success_accepted = 202,
    success_no_content = 204,
    success_partial_content = 206,
    redirection_not_modified = 304,
    client_error_bad_request = 400,
    client_error_unauthorized = 401,
    client_error_forbidden = 403,
    client_error_not_found = 404,
    client_error_method_not_allowed = 405,
    client_error_request_timeout = 408,
    client_error_conflict = 409,
    client_error_gone = 410,
    client_error_length_required = 411,
    client_error_precondition_failed = 412,
    client_error_payload_too_large = 413,
    client_error_uri_too_long = 414,
    client_error_unsupported_media_type = 415,
    client_error_range_not_satisfiable = 416,
    client_error_request_header_fields_too_large = 431,
    server_error_internal_server_error = 500,
    server_error_not_implemented = 501,
    server_error_bad_gateway = 502,
    server_error_service_unavailable = 503,
    server_error_gateway_timeout = 504,
    server_error_http_version_not_supported = 505,
    server_error_insufficient_storage = 507,
};

// Returns the status-line text of `code`, for example "404 Not Found".
// Returns an empty string for a code the table does not know.
const std::string& statusText(StatusCode code);

// Same as above for a numeric code.
const std::string& statusText(int code);

}  // namespace http

// BucketApi::bucketMatch: PUT /bucket/match with
// `{ "attributes" : { "<name>" : "<value>", ... } }` lists every bucket that
// holds all of the pairs (further attributes allowed). Changes nothing.
#include "attribute_request.h"
#include "bucket.h"
#include "bucket_api.h"
#include "bucket_service.h"
#include "bucket_text.h"

using bucket_text::messageBody;
using http::StatusCode;

void BucketApi::bucketMatch(std::shared_ptr<Response> response, std::shared_ptr<Request> request) {
    AttributeList attributes;
    const std::string refused =
        bucket_text::readRequestAttributes(request->content, "match", attributes);
    if (!refused.empty()) {
        respond(response, StatusCode::client_error_bad_request, messageBody(refused));
        return;
    }
    auto matches = m_service->match(attributes);
    if (!matches) {
        respond(response, StatusCode::server_error_internal_server_error,
                messageBody("Storage service unavailable"));
        return;
    }
    respond(response, "{ \"matches\" : [" + bucket_text::bucketObjects(*matches) + "] }");
}

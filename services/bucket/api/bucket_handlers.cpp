// BucketApi: the handlers of the bucket operations.
#include "bucket_api.h"

namespace {

const char* kNotImplemented = "{ \"message\" : \"Not implemented\" }";

}  // namespace

void BucketApi::bucketAdd(std::shared_ptr<Response> response, std::shared_ptr<Request>) {
    respond(response, http::StatusCode::server_error_not_implemented, kNotImplemented);
}

void BucketApi::bucketGetAll(std::shared_ptr<Response> response, std::shared_ptr<Request>) {
    respond(response, http::StatusCode::server_error_not_implemented, kNotImplemented);
}

void BucketApi::bucketContent(std::shared_ptr<Response> response, std::shared_ptr<Request>) {
    respond(response, http::StatusCode::server_error_not_implemented, kNotImplemented);
}

void BucketApi::bucketUpdate(std::shared_ptr<Response> response, std::shared_ptr<Request>) {
    respond(response, http::StatusCode::server_error_not_implemented, kNotImplemented);
}

void BucketApi::bucketDelete(std::shared_ptr<Response> response, std::shared_ptr<Request>) {
    respond(response, http::StatusCode::server_error_not_implemented, kNotImplemented);
}

void BucketApi::bucketMatch(std::shared_ptr<Response> response, std::shared_ptr<Request>) {
    respond(response, http::StatusCode::server_error_not_implemented, kNotImplemented);
}

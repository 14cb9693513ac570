#include "form_data_sink.h"

#include <stdexcept>

#include "form_part_collector.h"
#include "header_value.h"
#include "multipart_parser.h"

FormDataSink::FormDataSink(const std::string& contentType, std::string uploadDir,
                           const FormLimits& limits, WriteFunction write, PartCheck check) {
    try {
        const std::string boundary = multipartBoundary(contentType);
        if (uploadDir.empty()) {
            throw UploadStorageError("no directory is set for uploaded files");
        }
        m_collector = std::make_unique<FormPartCollector>(limits, std::move(uploadDir),
                                                          std::move(write), std::move(check));
        m_parser = std::make_unique<MultipartParser>(boundary, *m_collector, limits);
    } catch (const std::exception& error) {
        refuse(error);
    }
}

FormDataSink::~FormDataSink() = default;

void FormDataSink::onData(const char* data, size_t size) {
    throwIfRefused();
    try {
        m_parser->feed(data, size);
    } catch (const std::exception& error) {
        refuse(error);
        throw;
    }
}

void FormDataSink::onComplete() {
    throwIfRefused();
    try {
        m_parser->finish();
        m_complete = true;
    } catch (const std::exception& error) {
        refuse(error);
        throw;
    }
}

void FormDataSink::refuse(const std::exception& error) {
    m_error = error.what();
    m_storageFailure = dynamic_cast<const UploadStorageError*>(&error) != nullptr;
    m_refusal = std::current_exception();
    if (m_collector) {
        m_collector->discard();
    }
}

void FormDataSink::throwIfRefused() const {
    if (m_refusal) {
        std::rethrow_exception(m_refusal);
    }
}

std::vector<FormPart> FormDataSink::takeParts() {
    throwIfRefused();
    if (!m_complete) {
        throw std::runtime_error("the form's body was not read to its end");
    }
    if (m_taken) {
        throw std::runtime_error("the form's parts were already taken");
    }
    m_taken = true;
    return m_collector->takeParts();
}

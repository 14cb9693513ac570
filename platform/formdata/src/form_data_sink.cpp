#include "form_data_sink.h"

#include <stdexcept>

#include "form_part_collector.h"
#include "header_value.h"
#include "multipart_parser.h"

FormDataSink::FormDataSink(const std::string& contentType, std::string uploadDir,
                           const FormLimits& limits, WriteFunction write) {
    try {
        const std::string boundary = multipartBoundary(contentType);
        if (uploadDir.empty()) {
            throw std::runtime_error("no directory is set for uploaded files");
        }
        m_collector =
            std::make_unique<FormPartCollector>(limits, std::move(uploadDir), std::move(write));
        m_parser = std::make_unique<MultipartParser>(boundary, *m_collector, limits);
    } catch (const std::exception& error) {
        m_error = error.what();
    }
}

FormDataSink::~FormDataSink() = default;

void FormDataSink::onData(const char* data, size_t size) {
    if (!m_error.empty()) {
        throw std::runtime_error(m_error);
    }
    try {
        m_parser->feed(data, size);
    } catch (const std::exception& error) {
        refuse(error.what());
        throw;
    }
}

void FormDataSink::onComplete() {
    if (!m_error.empty()) {
        throw std::runtime_error(m_error);
    }
    try {
        m_parser->finish();
        m_complete = true;
    } catch (const std::exception& error) {
        refuse(error.what());
        throw;
    }
}

void FormDataSink::refuse(const std::string& reason) {
    m_error = reason;
    m_collector->discard();
}

std::vector<FormPart> FormDataSink::takeParts() {
    if (!m_error.empty()) {
        throw std::runtime_error(m_error);
    }
    if (!m_complete) {
        throw std::runtime_error("the form's body was not read to its end");
    }
    if (m_taken) {
        throw std::runtime_error("the form's parts were already taken");
    }
    m_taken = true;
    return m_collector->takeParts();
}

#include "raw_upload_sink.h"

RawUploadSink::RawUploadSink(const std::string& dir, uint64_t maxBytes)
    : m_file(std::make_unique<UploadFile>(dir)), m_maxBytes(maxBytes) {}

void RawUploadSink::onData(const char* data, size_t size) {
    if (m_maxBytes != 0 && m_size + size > m_maxBytes) {
        m_tooLarge = true;
        throw UploadTooLarge(
            "the body exceeds the limit of " + std::to_string(m_maxBytes) + " bytes", m_maxBytes);
    }
    m_file->append(data, size);
    m_digest.update(data, size);
    m_size += size;
}

void RawUploadSink::onComplete() {
    m_file->finish();
    m_digestHex = m_digest.hexDigest();
    m_complete = true;
}

std::unique_ptr<UploadFile> RawUploadSink::takeFile() {
    return m_complete ? std::move(m_file) : nullptr;
}

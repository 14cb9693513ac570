#include "form_part_collector.h"

#include <algorithm>
#include <stdexcept>

FormPartCollector::FormPartCollector(const FormLimits& limits, std::string uploadDir,
                                     WriteFunction write, PartCheck check)
    : m_limits(limits),
      m_uploadDir(std::move(uploadDir)),
      m_write(std::move(write)),
      m_check(std::move(check)) {}

void FormPartCollector::onPartBegin(const PartHeaders& headers) {
    FormPart part;
    part.name = headers.name;
    part.filename = headers.filename;
    part.isFile = headers.hasFilename;
    part.contentType = headers.contentType;
    part.dropped = m_limits.keepPart && !m_limits.keepPart(part.name, part.isFile);
    if (m_check) {
        m_check(m_parts, part);
    }
    if (part.dropped) {
        m_parts.push_back(std::move(part));
        return;
    }
    if (part.isFile && !m_uploadDir.empty()) {
        part.file = std::make_unique<UploadFile>(m_uploadDir, m_write);
    }
    if (part.isFile && digestRequested()) {
        part.digest = std::make_unique<ParallelSha256>();
    }
    m_parts.push_back(std::move(part));
}

void FormPartCollector::onPartData(const char* data, size_t size) {
    FormPart& part = m_parts.back();
    if (part.dropped) {
        part.size += size;  // counted, not kept
        return;
    }
    if (part.isFile && size > m_limits.maxFileBytes - part.size) {
        throw UploadTooLarge(
            "an uploaded file exceeds " + std::to_string(m_limits.maxFileBytes) + " bytes",
            m_limits.maxFileBytes);
    }
    if (part.digest) {
        part.digest->update(data, size);
    }
    if (part.file) {
        part.file->append(data, size);
    } else {
        appendInMemory(part, data, size);
    }
    part.size += size;
}

void FormPartCollector::appendInMemory(FormPart& part, const char* data, size_t size) {
    if (!part.isFile) {
        // Report the limit the bytes cross first, so that the answer does
        // not depend on how the body was cut into chunks.
        const size_t partRoom =
            m_limits.maxDataPartBytes - std::min(part.data.size(), m_limits.maxDataPartBytes);
        const size_t totalRoom = m_limits.maxDataTotalBytes - m_dataBytes;
        if (size > partRoom && partRoom <= totalRoom) {
            throw std::runtime_error("a form field without a file name exceeds " +
                                     std::to_string(m_limits.maxDataPartBytes) + " bytes");
        }
        if (size > totalRoom) {
            throw std::runtime_error("the form fields without a file name exceed " +
                                     std::to_string(m_limits.maxDataTotalBytes) +
                                     " bytes together");
        }
        m_dataBytes += size;
    }
    part.data.append(data, size);
}

void FormPartCollector::onPartEnd() {
    FormPart& part = m_parts.back();
    if (part.file) {
        part.file->finish();
    }
    if (part.digest) {
        part.sha256 = part.digest->hexDigest();
        part.digest.reset();
    }
}

bool FormPartCollector::digestRequested() const {
    const std::string& field = m_limits.digestAfterField;
    return !field.empty() && std::any_of(m_parts.begin(), m_parts.end(), [&](const FormPart& part) {
        return !part.isFile && !part.dropped && part.name == field;
    });
}

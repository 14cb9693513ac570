// Collects the parts a MultipartParser finds: parts without a file name in
// memory (within the FormLimits caps), file parts either in an UploadFile in
// the upload directory or, when no directory is given, in memory. Parts that
// FormLimits::keepPart declines are listed but their bytes are dropped.
//
// Thread-safety: one thread at a time, like the parser that feeds it.
#pragma once

#include <string>
#include <vector>

#include "form_limits.h"
#include "form_part.h"
#include "form_refusal.h"
#include "multipart_parser.h"

class FormPartCollector : public MultipartHandler {
  public:
    // `uploadDir` empty: file parts stay in memory (used for bodies that are
    // already in memory). `write` is the write(2) of the upload files.
    // `check`, when set, is called with the parts before each part when
    // that part begins; what it throws refuses the form.
    FormPartCollector(const FormLimits& limits, std::string uploadDir, WriteFunction write = {},
                      PartCheck check = nullptr);

    void onPartBegin(const PartHeaders& headers) override;
    void onPartData(const char* data, size_t size) override;
    void onPartEnd() override;

    // Hands over the parts collected so far.
    std::vector<FormPart> takeParts() { return std::move(m_parts); }

    // Drops every part; their temporary files are removed.
    void discard() { m_parts.clear(); }

  private:
    void appendInMemory(FormPart& part, const char* data, size_t size);
    // True when a part named FormLimits::digestAfterField came before.
    bool digestRequested() const;

    FormLimits m_limits;
    std::string m_uploadDir;
    WriteFunction m_write;
    PartCheck m_check;
    std::vector<FormPart> m_parts;
    size_t m_dataBytes = 0;  // bytes of all parts without a file name
};

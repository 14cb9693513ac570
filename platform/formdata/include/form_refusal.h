// A refusal of a form decided by the application while the form was still
// streaming (see FormData::PartCheck): the answer the handler is to give.
//
// Thread-safety: a plain value type.
#pragma once

#include <stdexcept>
#include <string>

class FormRefusal : public std::runtime_error {
  public:
    // `status` is the HTTP status to answer with, `body` the answer's body.
    FormRefusal(int status, const std::string& body)
        : std::runtime_error(body), m_status(status), m_body(body) {}
    int status() const { return m_status; }
    const std::string& body() const { return m_body; }

  private:
    int m_status;
    std::string m_body;
};

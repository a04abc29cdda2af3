#include "message_pipeline.hpp"

#include <utility>

#include "delimiters.hpp"

namespace segmorph {

ReadMessage read_message(std::string_view bytes, Encoding encoding, const Rules* rules, Purpose purpose) {
    ReadMessage m;
    Result<MessageText> decoded = decode_message(bytes, encoding);
    if (!decoded) {
        m.error = decoded.error();
        return m;
    }
    m.decoded.emplace(std::move(decoded.value()));
    Result<MessageText> standard = with_standard_delimiters(m.decoded->view());
    if (!standard) {
        m.error = standard.error();
        return m;
    }
    m.standard.emplace(std::move(standard.value()));
    if (rules != nullptr) m.verdict = check_message(m.decoded->view(), *rules, purpose);
    return m;
}

}  // namespace segmorph

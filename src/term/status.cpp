#include "term/status.hpp"

// Placeholder until the spinner lands: shows nothing.
namespace tarvo::term {
Status::Status(std::FILE* stream, std::string text, bool animate)
    : stream_(stream), text_(std::move(text)), animate_(animate) {}
Status::~Status() = default;
void Status::update(std::string text) { text_ = std::move(text); }
void Status::run() {}
}  // namespace tarvo::term

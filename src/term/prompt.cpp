#include "term/prompt.hpp"

// Placeholder until the prompt lands.
namespace tarvo::term {
std::string prompt(const std::string&, const std::string& default_value, std::FILE*, std::FILE*) {
  return default_value;
}
}  // namespace tarvo::term

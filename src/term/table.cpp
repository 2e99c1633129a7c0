#include "term/table.hpp"

// Placeholder until the table renderer lands.
namespace tarvo::term {
int display_width(std::string_view text) { return static_cast<int>(text.size()); }
std::vector<std::string> Table::render(int, bool) const { return {}; }
}  // namespace tarvo::term

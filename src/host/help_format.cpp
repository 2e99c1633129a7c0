#include "host/help_format.hpp"

#include <sstream>

namespace tarvo::host {
namespace {

class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_subcommand(const CLI::App* sub) const override {
    std::string summary = sub->get_description();
    summary = summary.substr(0, summary.find('\n'));
    std::stringstream out;
    CLI::detail::format_help(out, sub->get_display_name(true), summary, get_column_width());
    return out.str();
  }

  std::string make_option_name(const CLI::Option* option, bool is_positional) const override {
    // Drops CLI11's "{a,b}" notes of fixed choices: the help text lists them.
    const std::string name = CLI::Formatter::make_option_name(option, is_positional);
    std::string shown;
    for (std::size_t at = 0; at < name.size();) {
      const std::size_t end = name[at] == '{' ? name.find('}', at) : std::string::npos;
      if (end == std::string::npos) {
        shown += name[at++];
      } else {
        at = end + 1;
      }
    }
    return shown;
  }
};

}  // namespace

std::shared_ptr<CLI::Formatter> make_help_formatter() {
  return std::make_shared<HelpFormatter>();
}

}  // namespace tarvo::host

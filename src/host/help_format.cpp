#include "host/help_format.hpp"

#include <regex>
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
    std::string name = CLI::Formatter::make_option_name(option, is_positional);
    static const std::regex value_note(R"(\{[^}]*\})");
    return std::regex_replace(name, value_note, "");
  }
};

}  // namespace

std::shared_ptr<CLI::Formatter> make_help_formatter() { return std::make_shared<HelpFormatter>(); }

}  // namespace tarvo::host

// The manual pages in roff (man(7) macros): tarvo(1) with the groups and their
// commands in brief, and one page per group with every command's options.
#include <cctype>
#include <sstream>

#include "manual_sections.hpp"
#include "shell_quote.hpp"
#include "writers.hpp"

namespace tarvo::tools::cli_docs {
namespace {

// Text as roff prints it literally: backslashes and hyphens escaped, and a line that
// would start with a control character guarded.
std::string roff(const std::string& text) {
  std::string out;
  bool line_start = true;
  for (char c : text) {
    if (line_start && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";
    else
      out += c;
    line_start = c == '\n';
  }
  return out;
}

std::string bold(const std::string& text) {
  return "\\fB" + roff(text) + "\\fR";
}
std::string italic(const std::string& text) {
  return "\\fI" + roff(text) + "\\fR";
}

std::string page_name(const Command& page) {
  return joined(page.path, "-");
}

std::string upper(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// "Run this machine as ..." -> "run this machine as ...", for the NAME line.
std::string whatis(std::string summary) {
  if (!summary.empty() && summary.back() == '.') summary.pop_back();
  if (!summary.empty()) summary[0] = static_cast<char>(std::tolower(summary[0]));
  return summary;
}

std::string usage(const Command& command) {
  std::string line = bold(command.path_text());
  if (!command.options.empty()) line += " [" + italic("OPTIONS") + "]";
  if (!command.commands.empty()) line += " " + italic("COMMAND");
  for (const auto& argument : command.arguments)
    line += " " + (argument.required ? italic(argument.name) : "[" + italic(argument.name) + "]");
  return line + "\n";
}

// The first line as a paragraph; the lines after it (an argument list) as they stand.
void write_description(std::ostream& out, const std::string& description) {
  const auto newline = description.find('\n');
  out << ".PP\n" << roff(description.substr(0, newline)) << "\n";
  if (newline == std::string::npos) return;
  std::string rest = description.substr(newline + 1);
  while (!rest.empty() && rest.front() == '\n')
    rest.erase(0, 1);
  if (rest.empty()) return;
  out << ".PP\n.nf\n" << roff(rest) << "\n.fi\n";
}

void write_arguments(std::ostream& out, const std::vector<Argument>& arguments) {
  for (const auto& argument : arguments)
    out << ".TP\n"
        << italic(argument.name) << "\n"
        << roff(argument.help.empty() ? (argument.required ? "Required." : "Optional.")
                                      : argument.help)
        << "\n";
}

void write_options(std::ostream& out, const std::vector<Option>& options) {
  for (const auto& option : options) {
    std::string names;
    for (const auto& name : option.names())
      names += (names.empty() ? "" : ", ") + bold(name);
    if (option.takes_value) names += " " + italic(option.value_name);
    out << ".TP\n" << names << "\n";
    std::string help = option.help;
    if (help.empty() && option.long_names.size() == 2)
      help = "Turn " + option.long_names[0] + " on or off.";
    if (!option.default_value.empty()) {
      if (!help.empty()) help += help.back() == '.' ? " " : ". ";
      help += "Default: " + option.default_value + ".";
    }
    out << roff(help.empty() ? "(No description.)" : help) << "\n";
  }
}

void write_entries(std::ostream& out, const char* title, const std::vector<Entry>& entries,
                   unsigned pages, bool bold_names) {
  out << ".SH " << title << "\n";
  for (const auto& entry : entries) {
    if (!(entry.pages & pages)) continue;
    out << ".TP\n"
        << (bold_names ? bold(entry.name) : italic(entry.name)) << "\n"
        << roff(entry.text) << "\n";
  }
}

// References to the manual pages of `root` and its groups, `page` left out.
std::string other_pages(const Command& root, const Command& page) {
  std::vector<std::string> references;
  if (&root != &page) references.push_back(bold(page_name(root)) + "(1)");
  for (const auto& group : root.commands)
    if (&group != &page) references.push_back(bold(page_name(group)) + "(1)");
  return joined(references, ", ");
}

}  // namespace

std::string manual_page(const Command& root, const Command& page, const std::string& version) {
  const bool is_root = &page == &root;
  const unsigned pages = is_root ? kBoth : pages_of(page.name());
  std::ostringstream out;
  out << ".\\\" Generated from tarvo's command definitions by tarvo-cli-docs.\n"
      << ".TH " << upper(page_name(page)) << " 1 \"\" \"tarvo " << version
      << "\" \"User Commands\"\n"
      << ".SH NAME\n"
      << page_name(page) << " \\- " << roff(whatis(page.summary())) << "\n"
      << ".SH SYNOPSIS\n"
      << usage(page) << ".SH DESCRIPTION\n";
  write_description(out, page.description);
  if (is_root)
    out << ".PP\nEach group has a page of its own with every command and option: "
        << other_pages(root, page) << ".\n";
  if (!page.options.empty()) {
    out << ".SH OPTIONS\n";
    write_options(out, page.options);
  }
  out << ".SH COMMANDS\n";
  for (const auto& command : page.commands) {
    out << ".SS " << command.name() << "\n" << usage(command);
    if (is_root) {
      out << ".PP\n" << roff(command.summary()) << "\n";
      for (const auto& sub : command.commands)
        out << ".TP\n" << bold(sub.name()) << "\n" << roff(sub.summary()) << "\n";
      continue;
    }
    write_description(out, command.description);
    write_arguments(out, command.arguments);
    write_options(out, command.options);
  }
  write_entries(out, "ENVIRONMENT", environment(), pages, true);
  write_entries(out, "FILES", files(), pages, false);
  out << ".PP\nPaths under /usr are those of the Debian package; another installation has "
         "them under its own prefix.\n";
  write_entries(out, "EXIT STATUS", exit_codes(), pages, true);
  out << ".SH SEE ALSO\n" << other_pages(root, page) << "\n";
  return out.str();
}

}  // namespace tarvo::tools::cli_docs

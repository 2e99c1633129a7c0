#include "compose_file.hpp"

#include <yaml.h>

#include <cctype>
#include <fstream>
#include <sstream>

namespace tarvo::fakes {
namespace {

// libyaml's parser and loaded document, released with the objects.
struct Parser {
  yaml_parser_t raw{};
  Parser() {
    if (!yaml_parser_initialize(&raw)) throw ComposeError("yaml: cannot start the parser");
  }
  ~Parser() { yaml_parser_delete(&raw); }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
};
struct Document {
  yaml_document_t raw{};
  bool loaded = false;  // a failed load has already freed what it had
  ~Document() {
    if (loaded) yaml_document_delete(&raw);
  }
};

bool is_plain_null(const yaml_node_t& node) {
  if (node.data.scalar.style != YAML_PLAIN_SCALAR_STYLE) return false;
  const std::string text(reinterpret_cast<const char*>(node.data.scalar.value),
                         node.data.scalar.length);
  return text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL";
}

Json to_json(yaml_document_t& document, yaml_node_t* node, int depth) {
  if (!node) return nullptr;
  if (depth > 64) throw ComposeError("yaml: exceeded max depth of 64");
  switch (node->type) {
    case YAML_SCALAR_NODE:
      if (is_plain_null(*node)) return nullptr;
      return std::string(reinterpret_cast<const char*>(node->data.scalar.value),
                         node->data.scalar.length);
    case YAML_SEQUENCE_NODE: {
      Json array = Json::array();
      for (auto* item = node->data.sequence.items.start; item < node->data.sequence.items.top;
           ++item)
        array.push_back(to_json(document, yaml_document_get_node(&document, *item), depth + 1));
      return array;
    }
    case YAML_MAPPING_NODE: {
      Json object = Json::object();
      for (auto* pair = node->data.mapping.pairs.start; pair < node->data.mapping.pairs.top;
           ++pair) {
        const Json key = to_json(document, yaml_document_get_node(&document, pair->key), depth + 1);
        if (!key.is_string()) throw ComposeError("yaml: mapping keys must be text");
        object[key.get<std::string>()] =
            to_json(document, yaml_document_get_node(&document, pair->value), depth + 1);
      }
      return object;
    }
    default:
      return nullptr;
  }
}

bool name_start(char c) {
  return c == '_' || std::isalpha(static_cast<unsigned char>(c));
}
bool name_char(char c) {
  return c == '_' || std::isalnum(static_cast<unsigned char>(c));
}

class Interpolation {
 public:
  Interpolation(const Variables& variables, const std::string& where, std::string& warnings)
      : variables_(variables), where_(where), warnings_(warnings) {}

  std::string run(const std::string& value) {
    std::string out;
    std::size_t i = 0;
    while (i < value.size()) {
      if (value[i] != '$') {
        out += value[i++];
        continue;
      }
      if (i + 1 < value.size() && value[i + 1] == '$') {
        out += '$';
        i += 2;
      } else if (i + 1 < value.size() && value[i + 1] == '{') {
        out += braced(value, i);
      } else if (i + 1 < value.size() && name_start(value[i + 1])) {
        std::size_t end = i + 1;
        while (end < value.size() && name_char(value[end]))
          ++end;
        out += plain(value.substr(i + 1, end - i - 1));
        i = end;
      } else {
        invalid(value);
      }
    }
    return out;
  }

 private:
  // ${...} starting at value[i]; advances i past the closing brace.
  std::string braced(const std::string& value, std::size_t& i) {
    std::size_t p = i + 2;
    const std::size_t name_begin = p;
    if (p >= value.size() || !name_start(value[p])) invalid(value);
    while (p < value.size() && name_char(value[p]))
      ++p;
    const std::string name = value.substr(name_begin, p - name_begin);
    if (p >= value.size()) invalid(value);
    if (value[p] == '}') {
      i = p + 1;
      return plain(name);
    }
    bool colon = false;
    if (value[p] == ':') {
      colon = true;
      ++p;
    }
    if (p >= value.size() || (value[p] != '-' && value[p] != '?' && value[p] != '+'))
      invalid(value);
    const char op = value[p++];
    // The argument runs to the matching brace; it may hold ${...} of its own.
    const std::size_t argument_begin = p;
    int depth = 0;
    for (; p < value.size(); ++p) {
      if (value[p] == '$' && p + 1 < value.size() && value[p + 1] == '$') {
        ++p;
      } else if (value[p] == '$' && p + 1 < value.size() && value[p + 1] == '{') {
        ++depth;
        ++p;
      } else if (value[p] == '}') {
        if (depth == 0) break;
        --depth;
      }
    }
    if (p >= value.size()) invalid(value);
    const std::string argument = value.substr(argument_begin, p - argument_begin);
    i = p + 1;

    const auto found = variables_.find(name);
    const bool set = found != variables_.end();
    const bool present = colon ? set && !found->second.empty() : set;
    switch (op) {
      case '-':
        return present ? found->second : run(argument);
      case '+':
        return present ? run(argument) : std::string();
      default:  // '?'
        if (present) return found->second;
        throw ComposeError("error while interpolating " + where_ + ": required variable " + name +
                           " is missing a value" + (argument.empty() ? "" : ": " + argument));
    }
  }

  std::string plain(const std::string& name) {
    const auto found = variables_.find(name);
    if (found != variables_.end()) return found->second;
    warnings_ +=
        "WARN[0000] The \"" + name + "\" variable is not set. Defaulting to a blank string.\n";
    return {};
  }

  [[noreturn]] void invalid(const std::string& value) const {
    throw ComposeError("invalid interpolation format for " + where_ + ": \"" + value +
                       "\"; you may need to escape any $ with another $");
  }

  const Variables& variables_;
  const std::string& where_;
  std::string& warnings_;
};

Json interpolate_node(const Json& node, const Variables& variables, const std::string& where,
                      std::string& warnings) {
  if (node.is_string()) return interpolate(node.get<std::string>(), variables, where, warnings);
  if (node.is_array()) {
    Json array = Json::array();
    for (std::size_t i = 0; i < node.size(); ++i)
      array.push_back(
          interpolate_node(node[i], variables, where + "[" + std::to_string(i) + "]", warnings));
    return array;
  }
  if (node.is_object()) {
    Json object = Json::object();
    for (const auto& [key, value] : node.items())
      object[key] =
          interpolate_node(value, variables, where.empty() ? key : where + "." + key, warnings);
    return object;
  }
  return node;
}

}  // namespace

Json load_yaml(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ComposeError("open " + path.string() + ": no such file or directory");
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();

  Parser parser;
  yaml_parser_set_input_string(&parser.raw, reinterpret_cast<const unsigned char*>(text.data()),
                               text.size());
  Document document;
  if (!yaml_parser_load(&parser.raw, &document.raw)) {
    const std::string problem = parser.raw.problem ? parser.raw.problem : "unknown problem";
    throw ComposeError("yaml: line " + std::to_string(parser.raw.problem_mark.line + 1) + ": " +
                       problem);
  }
  document.loaded = true;
  Json json = to_json(document.raw, yaml_document_get_root_node(&document.raw), 0);
  if (!json.is_object()) throw ComposeError("Top-level object must be a mapping");
  return json;
}

std::string interpolate(const std::string& value, const Variables& variables,
                        const std::string& where, std::string& warnings) {
  return Interpolation(variables, where, warnings).run(value);
}

Json interpolate_document(const Json& document, const Variables& variables, std::string& warnings) {
  return interpolate_node(document, variables, "", warnings);
}

Variables read_env_file(const std::filesystem::path& path) {
  Variables variables;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const auto first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    variables[line.substr(first, equals - first)] = line.substr(equals + 1);
  }
  return variables;
}

}  // namespace tarvo::fakes

// The one file that reads TOML. toml++ is used header-only, so the server
// gains no shared library to depend on; without exceptions, so a parse
// failure is a value like every other failure here.
#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "app/config_file.h"
#include "platform/text_file.h"

#include <algorithm>
#include <string_view>

namespace {

std::string place(const std::string& path, const toml::source_position& at)
{
    return path + ":" + std::to_string(at.line) + ":" + std::to_string(at.column) + ": ";
}

// The edit distance of two short names; costs their lengths' product.
std::size_t distance(std::string_view a, std::string_view b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); j++)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); i++) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); j++) {
            const std::size_t above = row[j];
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// Two slips of the keyboard away at most (tls_port, max-client).
constexpr std::size_t NEAR_DISTANCE = 2;

std::string unknown_key(std::string_view key)
{
    if (key == "password")
        return "there is no password key: give password-file, or users";
    std::string text = "unknown key '" + std::string(key) + "'";
    const OptionRow* nearest = nullptr;
    std::size_t best = NEAR_DISTANCE + 1;
    for (const OptionRow& option : option_table()) {
        const std::size_t d = distance(key, option.name);
        if (option.place != OptionPlace::command_line && d < best) {
            best = d;
            nearest = &option;
        }
    }
    if (nearest)
        text += ", did you mean '" + std::string(nearest->name) + "'?";
    return text;
}

std::string_view type_name(toml::node_type type)
{
    switch (type) {
    case toml::node_type::table: return "a table";
    case toml::node_type::array: return "a list";
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a number with a fraction";
    case toml::node_type::boolean: return "true or false";
    default: return "a date or time";
    }
}

std::string_view wanted_name(ValueType type)
{
    switch (type) {
    case ValueType::boolean: return "true or false";
    case ValueType::integer: return "an integer";
    case ValueType::string: return "a string";
    case ValueType::strings: return "a list of strings";
    }
    return "";
}

// One scalar as the command line would spell it; false when its type is
// not the option's.
bool value_text(const toml::node& node, ValueType type, std::string& text)
{
    if (type == ValueType::boolean && node.is_boolean())
        text = *node.value<bool>() ? "true" : "false";
    else if (type == ValueType::integer && node.is_integer())
        text = std::to_string(*node.value<std::int64_t>());
    else if ((type == ValueType::string || type == ValueType::strings) && node.is_string())
        text = *node.value<std::string>();
    else
        return false;
    return true;
}

// A zero byte would cut a path or a login where the system reads it.
bool take_value(const std::string& path, const OptionRow& option, const toml::node& node,
                std::vector<std::string>& values, std::string& error)
{
    std::string text;
    if (!value_text(node, option.type, text)) {
        error = place(path, node.source().begin) + std::string(option.name) + " takes " +
                std::string(wanted_name(option.type)) + ", not " + std::string(type_name(node.type()));
        return false;
    }
    if (text.find('\0') != std::string::npos) {
        error = place(path, node.source().begin) + std::string(option.name) + " holds a zero byte";
        return false;
    }
    values.push_back(std::move(text));
    return true;
}

bool take_key(const std::string& path, const toml::key& key, const toml::node& node, ConfigValue& value,
              std::string& error)
{
    const OptionRow* option = find_option(key.str());
    if (!option || option->place == OptionPlace::command_line) {
        error = place(path, key.source().begin) +
                (option ? "--" + std::string(key.str()) + " is an option of the command line, not a key"
                        : unknown_key(key.str()));
        return false;
    }
    value.option = option;
    value.line = static_cast<std::uint32_t>(node.source().begin.line);
    value.column = static_cast<std::uint32_t>(node.source().begin.column);
    const toml::array* list = node.as_array();
    if (option->type != ValueType::strings || !list)
        return take_value(path, *option, node, value.values, error);
    for (const toml::node& element : *list)
        if (!take_value(path, *option, element, value.values, error))
            return false;
    return true;
}

} // namespace

bool config_files_supported()
{
    return true;
}

const char* config_files_unsupported_reason()
{
    return "";
}

bool read_config_file(const std::string& path, ConfigFile& file, std::string& error)
{
    std::string text;
    std::string reason;
    if (text_file_read(path.c_str(), &text, &reason) != TextFileStatus::read) {
        error = path + ": " + reason;
        return false;
    }
    toml::parse_result parsed = toml::parse(text, path);
    if (!parsed) {
        error = place(path, parsed.error().source().begin) + std::string(parsed.error().description());
        return false;
    }
    // The table is ordered by key; mistakes are found in the file's order.
    std::vector<std::pair<const toml::key*, const toml::node*>> keys;
    for (auto&& [key, node] : parsed.table())
        keys.emplace_back(&key, &node);
    std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) {
        const toml::source_position& x = a.first->source().begin;
        const toml::source_position& y = b.first->source().begin;
        return x.line != y.line ? x.line < y.line : x.column < y.column;
    });
    file.path = path;
    file.values.clear();
    for (const auto& [key, node] : keys) {
        ConfigValue value{};
        if (!take_key(path, *key, *node, value, error))
            return false;
        file.values.push_back(std::move(value));
    }
    return true;
}

// tarnel completion bash|zsh|fish: a completion script generated from the
// command definitions themselves, so every command and option completes
// without anyone keeping a script by hand.

#include <fmt/core.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/exit_codes.hpp"

namespace tarnel::cli {

namespace {

struct Flag {
    std::string name;  // "--sensitivity" or "-j"
    bool takes_value = false;
    std::string description;
};

// One command as the shells see it: the words that lead to it (" intake
// fulfil"; "" for tarnel itself), its options and its subcommands.
struct Shape {
    std::string path;
    std::vector<Flag> flags;
    std::vector<std::pair<std::string, std::string>> subcommands;  // name, description
};

void collect(const CLI::App& app, const std::string& path, std::vector<Shape>& shapes) {
    Shape shape{path, {}, {}};
    for (const CLI::Option* option : app.get_options()) {
        if (!option->nonpositional()) continue;
        const bool takes_value = option->get_expected_min() > 0;
        for (const auto& name : option->get_lnames()) {
            shape.flags.push_back({"--" + name, takes_value, option->get_description()});
        }
        for (const auto& name : option->get_snames()) {
            shape.flags.push_back({"-" + name, takes_value, option->get_description()});
        }
    }
    const auto subcommands = app.get_subcommands([](const CLI::App*) { return true; });
    for (const CLI::App* sub : subcommands) shape.subcommands.emplace_back(sub->get_name(), sub->get_description());
    shapes.push_back(std::move(shape));
    for (const CLI::App* sub : subcommands) collect(*sub, path + " " + sub->get_name(), shapes);
}

// Inside single quotes in every one of the three shells.
std::string single_quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The loop both POSIX-like shells share: the command path of the words
// before the cursor, options and their values passed over.
std::string path_case(const std::vector<Shape>& shapes) {
    std::string known;
    for (const Shape& shape : shapes) {
        if (shape.path.empty()) continue;
        known += (known.empty() ? "" : "|") + single_quoted(shape.path);
    }
    return known;
}

std::string value_case(const std::vector<Shape>& shapes) {
    std::string cases;
    for (const Shape& shape : shapes) {
        for (const Flag& flag : shape.flags) {
            if (flag.takes_value) cases += (cases.empty() ? "" : "|") + single_quoted(shape.path + "|" + flag.name);
        }
    }
    return cases;
}

std::string bash_script(const std::vector<Shape>& shapes) {
    std::string out =
        "# tarnel completion for bash: source it, or put it in ~/.local/share/bash-completion/completions/tarnel\n"
        "_tarnel() {\n"
        "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} cmdpath='' word i\n"
        "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
        "        word=${COMP_WORDS[i]}\n"
        "        case \"$cmdpath $word\" in\n"
        "            " +
        path_case(shapes) +
        ") cmdpath=\"$cmdpath $word\" ;;\n"
        "        esac\n"
        "    done\n"
        "    case \"$cmdpath|$prev\" in\n"
        "        " +
        value_case(shapes) +
        ") COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
        "    esac\n"
        "    local words=''\n"
        "    case \"$cmdpath\" in\n";
    for (const Shape& shape : shapes) {
        std::string words;
        for (const auto& [name, _] : shape.subcommands) words += name + " ";
        for (const Flag& flag : shape.flags) words += flag.name + " ";
        out += "        " + single_quoted(shape.path) + ") words=" + single_quoted(words) + " ;;\n";
    }
    out +=
        "    esac\n"
        "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
        "}\n"
        "complete -F _tarnel tarnel\n";
    return out;
}

std::string zsh_script(const std::vector<Shape>& shapes) {
    // zsh's $path is its PATH: the command path gets another name.
    std::string out =
        "#compdef tarnel\n"
        "# tarnel completion for zsh: put it in a directory of $fpath as _tarnel, or source it after compinit\n"
        "_tarnel() {\n"
        "    local cmdpath='' word i\n"
        "    for ((i = 2; i < CURRENT; i++)); do\n"
        "        word=${words[i]}\n"
        "        case \"$cmdpath $word\" in\n"
        "            (" +
        path_case(shapes) +
        ") cmdpath=\"$cmdpath $word\" ;;\n"
        "        esac\n"
        "    done\n"
        "    case \"$cmdpath|${words[CURRENT-1]}\" in\n"
        "        (" +
        value_case(shapes) +
        ") _files; return ;;\n"
        "    esac\n"
        "    local -a entries\n"
        "    case \"$cmdpath\" in\n";
    for (const Shape& shape : shapes) {
        std::string entries;
        for (const auto& [name, description] : shape.subcommands)
            entries += " " + single_quoted(name + ":" + description);
        for (const Flag& flag : shape.flags) entries += " " + single_quoted(flag.name + ":" + flag.description);
        out += "        (" + single_quoted(shape.path) + ") entries=(" + entries + " ) ;;\n";
    }
    out +=
        "    esac\n"
        "    _describe tarnel entries\n"
        "}\n"
        "if [ \"$funcstack[1]\" = _tarnel ]; then _tarnel \"$@\"; else compdef _tarnel tarnel; fi\n";
    return out;
}

std::string fish_script(const std::vector<Shape>& shapes) {
    std::string out =
        "# tarnel completion for fish: put it in ~/.config/fish/completions/tarnel.fish\n"
        "complete -c tarnel -f\n";
    for (const Shape& shape : shapes) {
        // Each word of the path seen, and none of the command's own subcommands yet.
        std::string condition = shape.path.empty() ? "__fish_use_subcommand" : "";
        std::istringstream words(shape.path);
        for (std::string word; words >> word;) {
            condition += (condition.empty() ? "" : "; and ") + std::string("__fish_seen_subcommand_from ") + word;
        }
        if (!shape.path.empty() && !shape.subcommands.empty()) {
            std::string names;
            for (const auto& [name, _] : shape.subcommands) names += " " + name;
            condition += "; and not __fish_seen_subcommand_from" + names;
        }
        for (const auto& [name, description] : shape.subcommands) {
            out += "complete -c tarnel -n " + single_quoted(condition) + " -a " + name + " -d " +
                   single_quoted(description) + "\n";
        }
        for (const Flag& flag : shape.flags) {
            const bool is_long = flag.name.starts_with("--");
            out += "complete -c tarnel -n " + single_quoted(condition) + (is_long ? " -l " : " -s ") +
                   flag.name.substr(is_long ? 2 : 1) + (flag.takes_value ? " -r -F" : "") + " -d " +
                   single_quoted(flag.description) + "\n";
        }
    }
    return out;
}

}  // namespace

void add_completion_command(CLI::App& app, int& status) {
    auto* completion = app.add_subcommand("completion", "Print a completion script for bash, zsh or fish");
    auto shell = std::make_shared<std::string>();
    completion->add_option("shell", *shell, "bash, zsh or fish")
        ->required()
        ->check(CLI::IsMember({"bash", "zsh", "fish"}));
    completion->callback([&app, &status, shell] {
        std::vector<Shape> shapes;
        collect(app, "", shapes);
        const std::string script = *shell == "bash"  ? bash_script(shapes)
                                   : *shell == "zsh" ? zsh_script(shapes)
                                                     : fish_script(shapes);
        fmt::print("{}", script);
        status = kExitOk;
    });
}

}  // namespace tarnel::cli

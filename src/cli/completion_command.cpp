// tarnel completion bash|zsh|fish: a completion script generated from the
// command definitions themselves, so every command and option completes
// without anyone keeping a script by hand.

#include <fmt/core.h>

#include <memory>
#include <sstream>
#include <string>
#include <string_view>
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

// How bash and zsh differ in the one function both scripts are.
struct PosixShell {
    std::string_view header;      // the comment and the variables the function declares
    std::string_view first_word;  // index of the first word after `tarnel`
    std::string_view typed;       // the words before the cursor: array and count
    std::string_view count;
    std::string_view previous;  // the word before the cursor
    std::string_view open;      // what opens a case pattern: "" or "("
    std::string_view files;     // completes a file name
    // One case arm's body for a command's subcommands and options.
    std::string (*arm)(const Shape&);
    std::string_view footer;
};

std::string bash_arm(const Shape& shape) {
    std::string words;
    for (const auto& [name, _] : shape.subcommands) words += name + " ";
    for (const Flag& flag : shape.flags) words += flag.name + " ";
    return "words=" + single_quoted(words);
}

std::string zsh_arm(const Shape& shape) {
    std::string entries;
    for (const auto& [name, description] : shape.subcommands) entries += " " + single_quoted(name + ":" + description);
    for (const Flag& flag : shape.flags) entries += " " + single_quoted(flag.name + ":" + flag.description);
    return "entries=(" + entries + " )";
}

// The command path of the words before the cursor (options and their values
// passed over), a file name after an option that takes one, and otherwise
// the subcommands and options of that path.
std::string posix_script(const std::vector<Shape>& shapes, const PosixShell& shell) {
    std::string paths;
    std::string valued;
    for (const Shape& shape : shapes) {
        if (!shape.path.empty()) paths += (paths.empty() ? "" : "|") + single_quoted(shape.path);
        for (const Flag& flag : shape.flags) {
            if (flag.takes_value) valued += (valued.empty() ? "" : "|") + single_quoted(shape.path + "|" + flag.name);
        }
    }
    std::string out = fmt::format(
        "{header}"
        "    for ((i = {first}; i < {count}; i++)); do\n"
        "        word=${{{typed}[i]}}\n"
        "        case \"$cmdpath $word\" in\n"
        "            {open}{paths}) cmdpath=\"$cmdpath $word\" ;;\n"
        "        esac\n"
        "    done\n"
        "    case \"$cmdpath|{previous}\" in\n"
        "        {open}{valued}) {files}; return ;;\n"
        "    esac\n"
        "    case \"$cmdpath\" in\n",
        fmt::arg("header", shell.header), fmt::arg("first", shell.first_word), fmt::arg("count", shell.count),
        fmt::arg("typed", shell.typed), fmt::arg("open", shell.open), fmt::arg("paths", paths),
        fmt::arg("previous", shell.previous), fmt::arg("valued", valued), fmt::arg("files", shell.files));
    for (const Shape& shape : shapes) {
        out += fmt::format("        {}{}) {} ;;\n", shell.open, single_quoted(shape.path), shell.arm(shape));
    }
    return out + "    esac\n" + std::string(shell.footer);
}

constexpr PosixShell kBash{
    "# tarnel completion for bash: source it, or put it in ~/.local/share/bash-completion/completions/tarnel\n"
    "_tarnel() {\n"
    "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} cmdpath='' word i words=''\n",
    "1",
    "COMP_WORDS",
    "COMP_CWORD",
    "$prev",
    "",
    "COMPREPLY=($(compgen -f -- \"$cur\"))",
    bash_arm,
    "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
    "}\n"
    "complete -F _tarnel tarnel\n"};

// zsh's $path is its PATH: the command path has another name in both.
constexpr PosixShell kZsh{
    "#compdef tarnel\n"
    "# tarnel completion for zsh: put it in a directory of $fpath as _tarnel, or source it after compinit\n"
    "_tarnel() {\n"
    "    local cmdpath='' word i\n"
    "    local -a entries\n",
    "2",
    "words",
    "CURRENT",
    "${words[CURRENT-1]}",
    "(",
    "_files",
    zsh_arm,
    "    _describe tarnel entries\n"
    "}\n"
    "if [ \"$funcstack[1]\" = _tarnel ]; then _tarnel \"$@\"; else compdef _tarnel tarnel; fi\n"};

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
        const std::string script = *shell == "bash"  ? posix_script(shapes, kBash)
                                   : *shell == "zsh" ? posix_script(shapes, kZsh)
                                                     : fish_script(shapes);
        fmt::print("{}", script);
        status = kExitOk;
    });
}

}  // namespace tarnel::cli

#include "platform/sphinx/letter_to_sound.h"

#include <cctype>
#include <fstream>
#include <sstream>

namespace lumeno::platform {

namespace {

// A tiny reader for the Scheme lists the rules are written in: atoms and nested lists, with
// ";" comments. Only what the rules file uses.
struct Sexp {
    std::string atom;  // empty for a list
    std::vector<Sexp> items;
    bool isList() const { return atom.empty(); }
};

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    void skipSpace() {
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (c == ';') {
                while (at_ < text_.size() && text_[at_] != '\n') ++at_;
            } else if (std::isspace(static_cast<unsigned char>(c))) {
                ++at_;
            } else {
                return;
            }
        }
    }

    // Moves past `marker`; false when it does not occur.
    bool seek(std::string_view marker) {
        const auto found = text_.find(marker, at_);
        if (found == std::string_view::npos) return false;
        at_ = found + marker.size();
        return true;
    }

    // One expression; false at the end of the text or on a stray ")".
    bool read(Sexp& out, int depth = 0) {
        skipSpace();
        if (at_ >= text_.size() || depth > 200) return false;
        if (text_[at_] == ')') return false;
        if (text_[at_] == '(') {
            ++at_;
            out.atom.clear();
            for (;;) {
                skipSpace();
                if (at_ >= text_.size()) return false;
                if (text_[at_] == ')') {
                    ++at_;
                    return true;
                }
                Sexp item;
                if (!read(item, depth + 1)) return false;
                out.items.push_back(std::move(item));
            }
        }
        const std::size_t start = at_;
        while (at_ < text_.size() && text_[at_] != '(' && text_[at_] != ')' &&
               !std::isspace(static_cast<unsigned char>(text_[at_])))
            ++at_;
        out.atom.assign(text_.substr(start, at_ - start));
        return true;
    }

    // Inside a list: true at its closing ")", which is consumed.
    bool closes() {
        skipSpace();
        if (at_ < text_.size() && text_[at_] == ')') {
            ++at_;
            return true;
        }
        return false;
    }

private:
    std::string_view text_;
    std::size_t at_ = 0;
};

// "y-uw1" -> "Y UW", "ax0" -> "AH", "_epsilon_" -> "": the acoustic model has no stress marks
// and names the reduced vowel AH.
std::string modelPhones(const std::string& festivalPhones) {
    if (festivalPhones == "_epsilon_") return {};
    std::string out;
    std::istringstream parts(festivalPhones);
    for (std::string phone; std::getline(parts, phone, '-');) {
        while (!phone.empty() && std::isdigit(static_cast<unsigned char>(phone.back()))) phone.pop_back();
        if (phone.empty()) continue;
        if (phone == "ax") phone = "ah";
        for (char& c : phone) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (!out.empty()) out += ' ';
        out += phone;
    }
    return out;
}

int featureOffset(const std::string& name) {
    static const std::pair<const char*, int> kFeatures[] = {
        {"p.p.p.name", -3}, {"p.p.name", -2}, {"p.name", -1}, {"n.name", 1}, {"n.n.name", 2}, {"n.n.n.name", 3}};
    for (const auto& [feature, offset] : kFeatures)
        if (name == feature) return offset;
    return 0;
}

// Appends the tree to `nodes` and returns its index; -1 when it is not a tree.
std::int32_t addTree(const Sexp& tree, std::vector<LetterToSound::Node>& nodes) {
    if (!tree.isList() || tree.items.empty() || !tree.items[0].isList() || tree.items[0].items.empty()) return -1;
    const Sexp& head = tree.items[0];
    const auto index = static_cast<std::int32_t>(nodes.size());
    nodes.emplace_back();
    if (!head.items[0].isList()) {
        // ((feature is value) yes no)
        if (head.items.size() != 3 || tree.items.size() != 3 || head.items[1].atom != "is") return -1;
        const int offset = featureOffset(head.items[0].atom);
        const std::string& value = head.items[2].atom;
        if (offset == 0 || value.size() != 1) return -1;
        const std::int32_t yes = addTree(tree.items[1], nodes);
        const std::int32_t no = yes < 0 ? -1 : addTree(tree.items[2], nodes);
        if (no < 0) return -1;
        nodes[static_cast<std::size_t>(index)].feature = offset;
        nodes[static_cast<std::size_t>(index)].value = value[0];
        nodes[static_cast<std::size_t>(index)].yes = yes;
        nodes[static_cast<std::size_t>(index)].no = no;
        return index;
    }
    // (((phone probability) ... answer)): the answer is the distribution's last item.
    const Sexp& answer = head.items.back();
    if (answer.isList()) return -1;
    nodes[static_cast<std::size_t>(index)].phones = modelPhones(answer.atom);
    return index;
}

}  // namespace

std::unique_ptr<LetterToSound> LetterToSound::load(const std::filesystem::path& rules, std::string& error) {
    std::ifstream in(rules, std::ios::binary);
    if (!in) {
        error = "cannot read " + rules.string();
        return nullptr;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parse(text.str(), error);
}

std::unique_ptr<LetterToSound> LetterToSound::parse(std::string_view schemeText, std::string& error) {
    std::unique_ptr<LetterToSound> lts(new LetterToSound());
    for (auto& root : lts->roots_) root = -1;
    Reader reader(schemeText);
    if (!reader.seek("cmu_lts_rules") || !reader.seek("'(")) {
        error = "no letter-to-sound rules in the file";
        return nullptr;
    }
    while (!reader.closes()) {
        Sexp entry;
        if (!reader.read(entry) || !entry.isList() || entry.items.size() != 2 || entry.items[0].atom.size() != 1) {
            error = "the letter-to-sound rules are damaged";
            return nullptr;
        }
        const char letter = entry.items[0].atom[0];
        const std::int32_t root = addTree(entry.items[1], lts->nodes_);
        if (letter < 'a' || letter > 'z' || root < 0) {
            error = "the letter-to-sound rules are damaged";
            return nullptr;
        }
        lts->roots_[letter - 'a'] = root;
    }
    for (const auto root : lts->roots_) {
        if (root < 0) {
            error = "the letter-to-sound rules lack a letter";
            return nullptr;
        }
    }
    return lts;
}

std::optional<std::string> LetterToSound::pronounce(std::string_view word) const {
    // The letters between two word-edge marks; a position beyond them reads as '0'.
    std::string padded = "#";
    for (const char c : word) {
        const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower >= 'a' && lower <= 'z') padded += lower;
    }
    if (padded.size() == 1) return std::nullopt;
    padded += '#';
    const auto letterAt = [&](std::ptrdiff_t i) {
        return i < 0 || i >= static_cast<std::ptrdiff_t>(padded.size()) ? '0' : padded[static_cast<std::size_t>(i)];
    };
    std::string phones;
    for (std::size_t i = 1; i + 1 < padded.size(); ++i) {
        std::int32_t at = roots_[padded[i] - 'a'];
        while (nodes_[static_cast<std::size_t>(at)].feature != 0) {
            const Node& node = nodes_[static_cast<std::size_t>(at)];
            at = letterAt(static_cast<std::ptrdiff_t>(i) + node.feature) == node.value ? node.yes : node.no;
        }
        const std::string& leaf = nodes_[static_cast<std::size_t>(at)].phones;
        if (leaf.empty()) continue;
        if (!phones.empty()) phones += ' ';
        phones += leaf;
    }
    if (phones.empty()) return std::nullopt;
    return phones;
}

}  // namespace lumeno::platform

// The only file that includes the decoder's headers.
#include <ckd_alloc.h>
#include <err.h>
#include <ngram_model.h>
#include <pocketsphinx.h>

#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

#include "platform/sphinx/sphinx_decoder.h"

namespace lumeno::platform {

namespace {

// The library logs through one process-wide callback. Its chatter is dropped; its last error on
// each thread is kept, so a failed load can say why.
thread_local std::string lastDecoderError;

void keepErrors(void*, err_lvl_t level, const char* format, ...) {
    if (level < ERR_ERROR || !format) return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    // Drop the 'ERROR: "dict.c", line 275: ' source position: the operator needs the reason.
    if (const auto line = message.find("\", line "); line != std::string::npos) {
        if (const auto colon = message.find(": ", line); colon != std::string::npos) message.erase(0, colon + 2);
    }
    if (!message.empty()) lastDecoderError = message;
}

void routeLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        err_set_logfp(nullptr);  // the settings table is written there directly, past the callback
        err_set_callback(keepErrors, nullptr);
    });
}

// Owns one reference to a language model.
struct ModelRef {
    ngram_model_t* model = nullptr;
    ModelRef() = default;
    explicit ModelRef(ngram_model_t* owned) : model(owned) {}
    ModelRef(const ModelRef&) = delete;
    ModelRef& operator=(const ModelRef&) = delete;
    ModelRef(ModelRef&& other) noexcept : model(std::exchange(other.model, nullptr)) {}
    ModelRef& operator=(ModelRef&& other) noexcept {
        std::swap(model, other.model);
        return *this;
    }
    ~ModelRef() {
        if (model) ngram_model_free(model);
    }
};

constexpr const char* kSearch = "lumeno";

// The vocabulary as a small ARPA model: every word alike, and each pair said together likelier
// after its first word. Written to a private temporary file, the only form the library reads.
std::optional<std::filesystem::path> writeVocabularyModel(const std::vector<PronouncedEntry>& entries) {
    std::set<std::string> words;
    std::set<std::pair<std::string, std::string>> pairs;
    for (const auto& entry : entries) {
        for (std::size_t i = 0; i < entry.size(); ++i) {
            words.insert(entry[i].word);
            if (i > 0) pairs.emplace(entry[i - 1].word, entry[i].word);
        }
    }
    const double unigram = std::log10(1.0 / static_cast<double>(words.size() + 1));
    std::string arpa = "\\data\\\nngram 1=" + std::to_string(words.size() + 2) + "\nngram 2=" +
                       std::to_string(pairs.size()) + "\n\n\\1-grams:\n";
    char line[256];
    std::snprintf(line, sizeof line, "%.4f </s> 0.0\n-99.0 <s> 0.0\n", unigram);
    arpa += line;
    for (const auto& word : words) {
        std::snprintf(line, sizeof line, "%.4f ", unigram);
        arpa += line + word + " 0.0\n";
    }
    arpa += "\n\\2-grams:\n";
    for (const auto& [first, second] : pairs) arpa += "-0.3010 " + first + " " + second + "\n";
    arpa += "\n\\end\\\n";

    std::string name = (std::filesystem::temp_directory_path() / "lumeno-vocabulary-XXXXXX").string();
    const int fd = ::mkstemp(name.data());
    if (fd < 0) return std::nullopt;
    const bool written = ::write(fd, arpa.data(), arpa.size()) == static_cast<ssize_t>(arpa.size());
    ::close(fd);
    if (!written) {
        std::filesystem::remove(name);
        return std::nullopt;
    }
    return std::filesystem::path(name);
}

class PocketSphinxDecoder final : public SphinxDecoder {
public:
    PocketSphinxDecoder(cmd_ln_t* config, ps_decoder_t* decoder, ModelRef general, ModelRef domain,
                        const DecoderTuning& tuning)
        : config_(config), decoder_(decoder), general_(std::move(general)), domain_(std::move(domain)),
          tuning_(tuning) {}
    ~PocketSphinxDecoder() override {
        ps_free(decoder_);
        cmd_ln_free_r(config_);
    }
    PocketSphinxDecoder(const PocketSphinxDecoder&) = delete;
    PocketSphinxDecoder& operator=(const PocketSphinxDecoder&) = delete;

    bool startUtterance() override { return ps_start_utt(decoder_) >= 0; }
    bool process(const std::int16_t* samples, std::size_t count) override {
        return ps_process_raw(decoder_, samples, count, FALSE, FALSE) >= 0;
    }
    bool inSpeech() override { return ps_get_in_speech(decoder_) != 0; }
    bool endUtterance() override { return ps_end_utt(decoder_) >= 0; }
    std::string hypothesis() override {
        const char* text = ps_get_hyp(decoder_, nullptr);
        return text ? text : "";
    }

    bool knowsWord(const std::string& word) override {
        char* known = ps_lookup_word(decoder_, word.c_str());
        if (known) ckd_free(known);
        return known != nullptr;
    }

    // Builds the search from the models and the vocabulary; false leaves no search.
    bool useModels(const std::vector<PronouncedEntry>& entries) {
        ModelRef vocabulary;
        if (!entries.empty()) {
            const auto file = writeVocabularyModel(entries);
            if (!file) return false;
            vocabulary = ModelRef(ngram_model_read(config_, file->c_str(), NGRAM_ARPA, ps_get_logmath(decoder_)));
            std::filesystem::remove(*file);
            if (!vocabulary.model) return false;
        }
        // The set takes a reference of its own to each model.
        std::vector<ngram_model_t*> models{general_.model};
        std::vector<std::string> names{"general"};
        std::vector<float32> weights{1.0f};
        if (domain_.model) {
            models.push_back(domain_.model);
            names.emplace_back("domain");
            weights = {static_cast<float32>(1.0 - tuning_.domainWeight), static_cast<float32>(tuning_.domainWeight)};
        }
        if (vocabulary.model) {
            for (auto& w : weights) w *= static_cast<float32>(1.0 - tuning_.vocabularyWeight);
            models.push_back(vocabulary.model);
            names.emplace_back("vocabulary");
            weights.push_back(static_cast<float32>(tuning_.vocabularyWeight));
        }
        std::vector<char*> cnames;
        for (auto& n : names) cnames.push_back(n.data());
        ModelRef set(ngram_model_set_init(config_, models.data(), cnames.data(), weights.data(),
                                          static_cast<int32>(models.size())));
        if (!set.model) return false;
        ps_unset_search(decoder_, kSearch);  // frees the old search, so none refers to it any more
        return ps_set_lm(decoder_, kSearch, set.model) == 0 && ps_set_search(decoder_, kSearch) == 0;
    }

    std::string setVocabulary(const std::vector<PronouncedEntry>& entries) override {
        // Words first, with no search in place: adding a word also adds it to every search's
        // model, which would change the shared models for good.
        ps_unset_search(decoder_, kSearch);
        std::string refused;
        for (const auto& entry : entries) {
            for (const auto& word : entry) {
                if (!addWord(word)) refused = "the decoder refused the word " + word.word + ": " + lastDecoderError;
            }
        }
        if (refused.empty() && useModels(entries)) {
            vocabulary_ = entries;
            return {};
        }
        // Without the new vocabulary, so captions go on.
        useModels(vocabulary_);
        return refused.empty() ? "the vocabulary could not be applied" : refused;
    }

private:
    // A word with its pronunciation: an existing word keeps its own and gains this one as an
    // alternative, unless it already has it.
    bool addWord(const PronouncedWord& word) {
        if (word.phones.empty()) return knowsWord(word.word);
        std::string name = word.word;
        for (int variant = 2;; ++variant) {
            char* known = ps_lookup_word(decoder_, name.c_str());
            if (!known) break;
            const bool same = word.phones == known;
            ckd_free(known);
            if (same) return true;
            name = word.word + "(" + std::to_string(variant) + ")";
        }
        return ps_add_word(decoder_, name.c_str(), word.phones.c_str(), FALSE) >= 0;
    }

    cmd_ln_t* config_;
    ps_decoder_t* decoder_;
    ModelRef general_;
    ModelRef domain_;
    const DecoderTuning tuning_;
    std::vector<PronouncedEntry> vocabulary_;
};

// Adds every "word PHONES" line of a dictionary file; false when one is refused.
bool addDictionary(ps_decoder_t* decoder, const std::filesystem::path& file, std::string& error) {
    std::ifstream in(file);
    if (!in) {
        error = "cannot read " + file.string();
        return false;
    }
    for (std::string line; std::getline(in, line);) {
        const auto space = line.find(' ');
        if (space == std::string::npos || space == 0) continue;
        const std::string word = line.substr(0, space);
        if (char* known = ps_lookup_word(decoder, word.c_str())) {
            ckd_free(known);
            continue;
        }
        if (ps_add_word(decoder, word.c_str(), line.c_str() + space + 1, FALSE) < 0) {
            error = file.filename().string() + " has a bad entry for " + word;
            return false;
        }
    }
    return true;
}

}  // namespace

DecoderLoad loadPocketSphinx(const ModelFiles& model, const DecoderTuning& tuning) {
    routeLibraryLog();
    lastDecoderError.clear();
    const std::string hmm = model.acousticModel.string();
    const std::string dict = model.dictionary.string();
    // No -lm: the search is set up below, from the language models read one by one.
    std::vector<std::string> args{"lumeno", "-hmm", hmm, "-dict", dict};
    for (const auto& [name, value] : tuning.settings) {
        args.push_back(name);
        args.push_back(value);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    cmd_ln_t* config = cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(argv.size()), argv.data(), TRUE);
    if (!config) return {nullptr, "the decoder refused its settings", {}};
    ps_decoder_t* decoder = ps_init(config);
    if (!decoder) {
        cmd_ln_free_r(config);
        return {nullptr, lastDecoderError.empty() ? "the model could not be loaded" : lastDecoderError, {}};
    }
    ModelRef general(ngram_model_read(config, model.languageModel.c_str(), NGRAM_AUTO, ps_get_logmath(decoder)));
    if (!general.model) {
        ps_free(decoder);
        cmd_ln_free_r(config);
        return {nullptr, lastDecoderError.empty() ? "the language model could not be read" : lastDecoderError, {}};
    }

    ModelRef domain;
    std::string domainError;
    if (model.domain) {
        domain = ModelRef(ngram_model_read(config, model.domain->languageModel.c_str(), NGRAM_AUTO, ps_get_logmath(decoder)));
        if (!domain.model) {
            domainError = lastDecoderError.empty() ? "it could not be read" : lastDecoderError;
        } else if (!addDictionary(decoder, model.domain->dictionary, domainError)) {
            domain = ModelRef();
        }
    }
    auto made = std::make_unique<PocketSphinxDecoder>(config, decoder, std::move(general), std::move(domain), tuning);
    if (!made->useModels({})) {
        made.reset();  // frees the decoder and its settings
        return {nullptr, lastDecoderError.empty() ? "the language model could not be used" : lastDecoderError, {}};
    }
    return {std::move(made), {}, domainError};
}

}  // namespace lumeno::platform

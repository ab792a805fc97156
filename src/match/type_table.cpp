#include "type_table.hpp"

namespace velmira {

TypeTable TypeTable::compile(const std::vector<Entry>& types) {
    TypeTable table;
    for (const auto& [name, sources] : types) {
        std::vector<boost::regex> compiled;
        std::vector<Pattern> fast;
        compiled.reserve(sources.size());
        fast.reserve(sources.size());
        for (const std::string& source : sources) {
            try {
                compiled.emplace_back(source, boost::regex_constants::normal);
            } catch (const boost::regex_error& e) {
                throw PatternCompileError(name, source, e.what());
            }
            fast.emplace_back(compiled.back());
        }
        table.regexes[name] = std::move(compiled);
        table.matchers[name] = std::move(fast);
    }
    return table;
}

std::vector<std::string> TypeTable::names() const {
    std::vector<std::string> names;
    names.reserve(regexes.size());
    for (const auto& entry : regexes) names.push_back(entry.first);
    return names;
}

const std::string* TypeTable::firstMatch(std::string_view text, MatchScratch& scratch) const {
    const bool plain = plainText(text);
    for (const auto& entry : regexes) {
        for (const Pattern& pattern : matchers.at(entry.first)) {
            if (pattern.fullMatch(text, plain, scratch)) return &entry.first;
        }
    }
    return nullptr;
}

std::vector<std::string> TypeTable::allMatches(std::string_view text, MatchScratch& scratch) const {
    const bool plain = plainText(text);
    std::vector<std::string> found;
    for (const auto& entry : regexes) {
        for (const Pattern& pattern : matchers.at(entry.first)) {
            if (pattern.fullMatch(text, plain, scratch)) {
                found.push_back(entry.first);
                break;
            }
        }
    }
    return found;
}

}  // namespace velmira

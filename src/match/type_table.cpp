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
    std::vector<const std::vector<Pattern>*> slots;
    for (const auto& entry : table.regexes) slots.push_back(&table.matchers.at(entry.first));
    table.prefilter = Prefilter(slots);
    return table;
}

std::vector<std::string> TypeTable::names() const {
    std::vector<std::string> names;
    names.reserve(regexes.size());
    for (const auto& entry : regexes) names.push_back(entry.first);
    return names;
}

namespace {

// Calls visit(name, patterns) for each type the prefilter leaves for `text`, in names()
// order, until it returns true.
template <class Visit>
void eachCandidate(const TypeTable& table, std::string_view text, MatchScratch& scratch, Visit visit) {
    scratch.candidates.resize(table.prefilter.words());
    table.prefilter.candidates(text, scratch.candidates.data());
    std::size_t slot = 0;
    for (const auto& entry : table.regexes) {
        const std::size_t i = slot++;
        if (((scratch.candidates[i / 64] >> (i % 64)) & 1) == 0) continue;
        if (visit(entry.first, table.matchers.at(entry.first))) return;
    }
}

}  // namespace

const std::string* TypeTable::firstMatch(std::string_view text, MatchScratch& scratch) const {
    const bool plain = plainText(text);
    const std::string* found = nullptr;
    eachCandidate(*this, text, scratch, [&](const std::string& name, const std::vector<Pattern>& patterns) {
        for (const Pattern& pattern : patterns) {
            if (pattern.fullMatch(text, plain, scratch)) {
                found = &name;
                return true;
            }
        }
        return false;
    });
    return found;
}

std::vector<std::string> TypeTable::allMatches(std::string_view text, MatchScratch& scratch) const {
    const bool plain = plainText(text);
    std::vector<std::string> found;
    eachCandidate(*this, text, scratch, [&](const std::string& name, const std::vector<Pattern>& patterns) {
        for (const Pattern& pattern : patterns) {
            if (pattern.fullMatch(text, plain, scratch)) {
                found.push_back(name);
                break;
            }
        }
        return false;
    });
    return found;
}

}  // namespace velmira

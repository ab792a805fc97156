#include "matcher.hpp"

#include <new>

namespace velmira {
namespace {

// Anchoring and the other options are compile-time options on purpose: pcre2_jit_match
// ignores ANCHORED and ENDANCHORED passed at match time and would find substrings.
constexpr std::uint32_t kCompileOptions = PCRE2_ANCHORED | PCRE2_ENDANCHORED | PCRE2_DOTALL |
                                          PCRE2_DOLLAR_ENDONLY | PCRE2_NEVER_UTF | PCRE2_NEVER_UCP |
                                          PCRE2_NEVER_BACKSLASH_C;
constexpr PCRE2_SIZE kJitStackStart = 32 * 1024;
constexpr PCRE2_SIZE kJitStackMax = 1024 * 1024;

std::string pcre2Message(int code) {
    PCRE2_UCHAR buffer[256];
    const int length = pcre2_get_error_message(code, buffer, sizeof buffer);
    if (length < 0) return "error " + std::to_string(code);
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

}  // namespace

MatchScratch::MatchScratch()
    : data(pcre2_match_data_create(1, nullptr)),
      context(pcre2_match_context_create(nullptr)),
      stack(pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr)) {
    if (data == nullptr || context == nullptr || stack == nullptr) {
        release();
        throw std::bad_alloc();
    }
    pcre2_jit_stack_assign(context, nullptr, stack);
}

MatchScratch::~MatchScratch() { release(); }

void MatchScratch::release() {
    pcre2_jit_stack_free(stack);
    pcre2_match_context_free(context);
    pcre2_match_data_free(data);
    stack = nullptr;
    context = nullptr;
    data = nullptr;
}

Pcre2Program Pcre2Program::compile(std::string_view pattern, std::string& whyNot) {
    Pcre2Program program;
    std::unique_ptr<pcre2_compile_context, void (*)(pcre2_compile_context*)> context(
        pcre2_compile_context_create(nullptr), pcre2_compile_context_free);
    if (!context) throw std::bad_alloc();
    // The build's defaults are LF and Unicode line breaks already; said here so that a
    // differently built library cannot change the meaning.
    pcre2_set_newline(context.get(), PCRE2_NEWLINE_LF);
    pcre2_set_bsr(context.get(), PCRE2_BSR_UNICODE);
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                     kCompileOptions, &error, &offset, context.get());
    if (code == nullptr) {
        if (error == PCRE2_ERROR_NOMEMORY) throw std::bad_alloc();
        whyNot = "PCRE2 does not compile it (" + pcre2Message(error) + " at offset " + std::to_string(offset) + ")";
        return program;
    }
    program.code_.reset(code, pcre2_code_free);
    const int jit = pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    std::size_t jitSize = 0;
    if (jit != 0 || pcre2_pattern_info(code, PCRE2_INFO_JITSIZE, &jitSize) != 0 || jitSize == 0) {
        whyNot = "the PCRE2 JIT does not compile it" + (jit != 0 ? " (" + pcre2Message(jit) + ")" : std::string());
        program.code_.reset();
    }
    return program;
}

int Pcre2Program::matchInterpreted(std::string_view text, MatchScratch& scratch) const {
    static const char kNothing = '\0';
    const char* subject = text.data() != nullptr ? text.data() : &kNothing;
    return pcre2_match(code_.get(), reinterpret_cast<PCRE2_SPTR>(subject), text.size(), 0, PCRE2_NO_JIT,
                       scratch.data, scratch.context);
}

Pattern::Pattern(const boost::regex& regex) : regex_(regex) {
    const std::string source = regex_.str();
    const Admission admission = admitPattern(source);
    if (!admission.admitted) {
        whyBoost_ = "not on the list of constructs both engines read alike: " + admission.reason;
        return;
    }
    facts_ = admission.facts;
    fast_ = Pcre2Program::compile(source, whyBoost_);
}

bool Pattern::builtFrom(const boost::regex& regex) const {
    return regex_.flags() == regex.flags() && regex_.str() == regex.str();
}

const char* engineName(Pattern::Engine engine) {
    return engine == Pattern::Engine::Pcre2Jit ? "pcre2-jit" : "boost";
}

}  // namespace velmira

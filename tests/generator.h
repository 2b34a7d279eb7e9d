// Generated rule files and messages, adversarial ones included, for the
// differential tests.
#pragma once

#include <cctype>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>

namespace testgen {

class generator {
   public:
    explicit generator(uint32_t variant) : rng_(variant) {}

    std::string message() {
        std::string m;
        for (int i = pick(4); i > 0; --i) m += oneof(headers) + ": " + words(3) + eol();
        if (chance(70)) m += "Subject: " + subject() + eol();
        if (chance(90)) m += eol();
        const int lines = chance(10) ? 200 : pick(20);
        for (int i = 0; i < lines; ++i) m += bodyline() + eol();
        return m;
    }

    std::string rules() {
        std::string r;
        for (int i = 1 + pick(25); i > 0; --i) {
            if (chance(5)) {
                r += oneof(junklines) + "\n";
                continue;
            }
            if (chance(20)) r += "=";
            r += std::to_string(static_cast<int>(pick(21)) - 5) + " " + pattern();
            r += chance(5) ? "\r\n" : "\n";
        }
        return r;
    }

    int debug() { return chance(50) ? 2 : 0; }

   private:
    bool chance(int percent) { return static_cast<int>(rng_() % 100) < percent; }
    int pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n + 1)); }
    template <typename T>
    std::string oneof(const T& list) {
        return list[rng_() % std::size(list)];
    }
    std::string eol() { return crlf_ ? "\r\n" : "\n"; }

    std::string word() {
        std::string w = oneof(vocabulary);
        switch (pick(5)) {
            case 0:
                for (auto& c : w) c = static_cast<char>(std::toupper(c));
                break;
            case 1:
                w[0] = static_cast<char>(std::toupper(w[0]));
                break;
            default:
                break;
        }
        return w;
    }

    std::string words(int n) {
        std::string s;
        for (int i = 0; i < 1 + pick(n); ++i) s += (i ? oneof(gaps) : "") + word();
        return s;
    }

    std::string subject() {
        std::string s;
        if (chance(40)) s.append("[").append(word()).append("] ");
        s += words(4);
        if (chance(20)) s.append(" ]x[").append(word());
        return s;
    }

    std::string bodyline() {
        switch (pick(13)) {
            case 0:
                return std::string(static_cast<size_t>(20 + pick(280)), 'a') + oneof(tails);
            case 1:
                return std::string("back\\slash \\B \\") + word();
            case 2:
                return std::string("nul\0byte ", 9) + word();
            case 3:
                return "\xE4\xF6\xFC \xC3\xA9t\xC3\xA9 " + word();
            case 4:
                return std::string(static_cast<size_t>(pick(300)), 'x') + " " + words(3);
            case 5:
                return "50% off, $100 " + words(5);
            case 6:
                return "abababa aaaa " + words(4) + " ABAB";
            default:
                return words(12);
        }
    }

   public:
    std::string pattern() {
        const std::string w = oneof(vocabulary), v = oneof(vocabulary);
        const std::string x = oneof(vocabulary);
        switch (pick(34)) {
            case 0:
                return w;
            case 1:
                return "\\b" + w + "\\b";
            case 2:
                return w + "\\s+" + v;
            case 3:
                return "[a-z]+" + w;
            case 4:
                return w + ".{0," + std::to_string(pick(40)) + "}" + v;
            case 5:
                return "(?:" + w + "|" + v + ")s?";
            case 6:
                return w + "|" + v;
            case 7:
                return oneof(adversarial);
            case 8:
                return oneof(adversarial);
            case 9:
                return oneof(broken);
            case 10:
                return "\\d+% " + w;
            case 11:
                return "^" + w;
            case 12:
                return w + "$";
            case 13:
                return "[^ ]+" + w + "[^ ]*";
            case 14:
                return w + ".*" + v + ".*" + w;
            case 15:
                return "[a-z]*[a-z]*" + w + "Q";
            case 16:
                return "\\w{2,}" + w + "\\W";
            case 17:
                return w.substr(0, 2) + "{2,5}" + v;
            case 18:
                return "a{" + std::to_string(pick(700)) + ",}" + w;
            case 19:
                return "(" + w + ")\\1";
            case 20:
                return "(?=" + w + ")" + w.substr(0, 1);
            case 21:
                return "\\Q" + w + ".\\E";
            case 22: {
                std::string up = w;
                up[0] = static_cast<char>(std::toupper(up[0]));
                return up;
            }
            case 23:
                return w + "\\.";
            case 24:
                return "x{" + std::to_string(pick(5)) + "}";
            case 25:
                return "\\\\B|\\\\" + w;
            case 26:
                return "[" + w + "]{3}";
            case 27:
                return w + " " + v;
            case 28:
                return "(?:a|b)+" + w;
            case 29:
                return "a*?" + w + "+?";
            case 31:  // several required literals
                return w + "[ ,]+" + v + ".{0,9}" + x;
            case 32:  // a literal in the middle, and capitals in the rule
                return "\\d*" + w + "[A-Z]?" + v + "\\w*";
            case 33:  // literals on either side of an alternation
                return "(?:" + w + v + "|" + v + w + ")";
            case 34:  // overlapping occurrences of the same literal
                return w + w.substr(w.size() / 2);
            default:
                return ".{0,5}" + w + "\\b";
        }
    }

   private:
    static constexpr const char* vocabulary[] = {
        "cheap", "pills", "free", "money", "viagra", "deal", "offer", "click", "here",
        "win",   "prize", "ab",   "aaa",   "b",      "zq",   "aba",   "abab"};
    static constexpr const char* headers[] = {"From", "To", "X-Spam", "Date", "subject"};
    static constexpr const char* gaps[] = {" ", "  ", "\t", "\n", ", ", "-", "\r\n "};
    static constexpr const char* tails[] = {"", "b", "c", "ab", " cheap"};
    static constexpr const char* junklines[] = {
        "foo", "5", "5\tfoo", "", "# cheap stuff", "= 5 x", "99999999999 a", "-2147483648 b"};
    static constexpr const char* adversarial[] = {
        "(a+)+b",   "(?:a|aa)+c", "(a|b)*c",  "a.*a.*c",       "[a-z]*[a-z]*q",
        "(?:a+)+$", ".*.*.*=",    "(x+x+)+y", "\\s*\\s*\\s*!", "a{1,60}a{1,60}z"};
    static constexpr const char* broken[] = {
        "(", "[a", "a{2,1}", "(?i)deal", "*a", "\\",
        // ten named groups, beyond the nine reported
        "(?<a>x)(?<b>x)(?<c>x)(?<d>x)(?<e>x)(?<f>x)(?<g>x)(?<h>x)(?<i>x)(?<j>x)", "(?P<n>a)(?P=n)",
        "a)b", "", "\\x41", "[[:alpha:]]+ab"};

    std::mt19937 rng_;
    bool crlf_ = false;

   public:
    void setcrlf(bool on) { crlf_ = on; }
};

}  // namespace testgen

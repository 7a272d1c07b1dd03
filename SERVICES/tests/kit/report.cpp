#include "report.h"

#include <algorithm>
#include <cstdio>

namespace kit {

namespace {

std::vector<std::string> SplitLines(const std::string &bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        end = end == std::string::npos ? bytes.size() : end + 1;
        lines.push_back(bytes.substr(start, end - start));
        start = end;
    }
    return lines;
}

// One line made readable: "$" marks its end, so trailing blanks show.
Text Visible(const std::string &line) {
    const bool ended = !line.empty() && line.back() == '\n';
    const Text body = FromUtf8(ended ? line.substr(0, line.size() - 1) : line);
    Text out;
    for (wchar_t c : body) {
        if (c == L'\t') {
            out += L"<TAB>";
        } else if (c == L'\r') {
            out += L"<CR>";
        } else if (c < 0x20 || c == 0x7F) {
            wchar_t name[8];
            std::swprintf(name, 8, L"<x%02x>", static_cast<unsigned>(c));
            out += name;
        } else {
            out += c;
        }
    }
    return out + (ended ? L"$" : L"  (no line end)");
}

Text XmlEscaped(const Text &text) {
    Text out;
    // XML 1.0 holds no other control character, not even escaped.
    for (wchar_t c : text)
        out += c == L'&'                                            ? L"&amp;"
               : c == L'<'                                          ? L"&lt;"
               : c == L'>'                                          ? L"&gt;"
               : c == L'"'                                          ? L"&quot;"
               : c < 0x20 && c != L'\t' && c != L'\n' && c != L'\r' ? Text(L"\uFFFD")
                                                                    : Text(1, c);
    return out;
}

Text SecondsText(double seconds) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%.3f", seconds);
    return text;
}

Text Joined(const std::vector<Text> &lines) {
    Text text;
    for (const Text &line : lines)
        text += line + L"\n";
    return text;
}

} // namespace

Text TapName(const Scenario &scenario) {
    Text name = scenario.id + L" ";
    for (wchar_t c : scenario.title) {
        if (c == L'#' || c == L'\\')
            name += L'\\';
        name += c;
    }
    return name;
}

std::vector<Text> StreamDiff(const Text &label, const std::string &expected,
                             const std::string &actual) {
    const std::vector<std::string> a = SplitLines(expected);
    const std::vector<std::string> b = SplitLines(actual);
    // The longest common subsequence of lines, from the ends backwards.
    std::vector<std::vector<unsigned>> common(a.size() + 1, std::vector<unsigned>(b.size() + 1));
    for (size_t i = a.size(); i-- > 0;)
        for (size_t j = b.size(); j-- > 0;)
            common[i][j] = a[i] == b[j] ? common[i + 1][j + 1] + 1
                                        : std::max(common[i + 1][j], common[i][j + 1]);
    struct Row {
        wchar_t mark;
        Text text;
    };
    std::vector<Row> rows;
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() || j < b.size()) {
        if (i < a.size() && j < b.size() && a[i] == b[j]) {
            rows.push_back({L' ', Visible(a[i])});
            ++i;
            ++j;
        } else if (j < b.size() && (i == a.size() || common[i][j + 1] >= common[i + 1][j])) {
            rows.push_back({L'+', Visible(b[j++])});
        } else {
            rows.push_back({L'-', Visible(a[i++])});
        }
    }
    std::vector<Text> lines{L"--- " + label + L" expected", L"+++ " + label + L" actual"};
    // Three lines of context around each change; longer runs elided.
    const size_t context = 3;
    for (size_t k = 0; k < rows.size(); ++k) {
        bool shown = rows[k].mark != L' ';
        for (size_t d = 1; d <= context && !shown; ++d)
            shown = (k >= d && rows[k - d].mark != L' ') ||
                    (k + d < rows.size() && rows[k + d].mark != L' ');
        if (shown)
            lines.push_back(Text(1, rows[k].mark) + rows[k].text);
        else if (lines.back() != L"  ...")
            lines.push_back(L"  ...");
    }
    if (rows.empty())
        lines.push_back(L"  (both empty)");
    return lines;
}

bool WriteJUnit(const Text &path, const std::vector<Outcome> &outcomes, const Text &suite,
                const HostInfo &host, double seconds) {
    size_t numFailed = 0;
    size_t numSkipped = 0;
    for (const Outcome &o : outcomes) {
        numFailed += o.result == Outcome::Result::Failed;
        numSkipped += o.result == Outcome::Result::Skipped;
    }
    const Text counts = L" tests=\"" + std::to_wstring(outcomes.size()) + L"\" failures=\"" +
                        std::to_wstring(numFailed) + L"\" errors=\"0\" skipped=\"" +
                        std::to_wstring(numSkipped) + L"\" time=\"" + SecondsText(seconds) + L"\"";
    Text xml = L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"" +
               XmlEscaped(suite) + L"\"" + counts + L">\n  <testsuite name=\"" + XmlEscaped(suite) +
               L"\"" + counts + L">\n    <properties>\n" +
               L"      <property name=\"windows\" value=\"" + XmlEscaped(host.windows) + L"\"/>\n";
    if (host.isWine)
        xml += L"      <property name=\"wine\" value=\"" + XmlEscaped(host.wine) + L"\"/>\n";
    xml += L"    </properties>\n";
    for (const Outcome &o : outcomes) {
        xml += L"    <testcase classname=\"quillmar.kit\" name=\"" +
               XmlEscaped(o.pScenario->id + L" " + o.pScenario->title) + L"\" time=\"" +
               SecondsText(o.seconds) + L"\"";
        if (o.result == Outcome::Result::Passed) {
            xml += L"/>\n";
            continue;
        }
        xml += L">\n";
        if (o.result == Outcome::Result::Skipped) {
            xml += L"      <skipped message=\"" + XmlEscaped(o.reason) + L"\"/>\n";
        } else {
            const Text first = o.failures.empty() ? Text() : o.failures[0];
            xml += L"      <failure message=\"" + XmlEscaped(first.substr(0, first.find(L'\n'))) +
                   L"\">" + XmlEscaped(Joined(o.failures)) + L"</failure>\n";
        }
        xml += L"    </testcase>\n";
    }
    xml += L"  </testsuite>\n</testsuites>\n";
    return WriteBytes(path, Utf8(xml));
}

bool WriteFailureFolder(const Text &dir, const Outcome &outcome, const Evidence &evidence,
                        const HostInfo &host, const Text &kitVersion) {
    if (!MakeDirectories(dir))
        return false;
    const Scenario &s = *outcome.pScenario;
    std::vector<Text> report{
        L"scenario: " + s.id + L" " + s.title,
        L"kit: quillmar test kit " + kitVersion,
        L"host: " + host.windows + (host.isWine ? L"; " + host.wine : Text()),
        L"command line: " + evidence.ran.commandLine,
        L"current directory: " + evidence.currentDir,
        L"streams: " + Text(s.combined ? L"both on one pipe"
                            : s.piped  ? L"each on a pipe read to its end"
                                       : L"each into a file"),
    };
    if (evidence.ran.started) {
        wchar_t status[96];
        std::swprintf(status, 96, L"exit status: %lu (0x%08lx), expected %lu",
                      static_cast<unsigned long>(evidence.ran.exitCode),
                      static_cast<unsigned long>(evidence.ran.exitCode), s.exitCode);
        report.push_back(status);
        report.push_back(L"took: " + SecondsText(evidence.ran.seconds) + L" s");
    } else {
        report.push_back(L"not started: error " + std::to_wstring(evidence.ran.startError));
    }
    report.push_back(L"");
    report.push_back(L"failures:");
    for (const Text &failure : outcome.failures)
        report.push_back(failure);
    report.push_back(L"");
    report.push_back(L"set-up:");
    for (const Text &line : evidence.setup)
        report.push_back(L"  " + line);
    report.push_back(L"");
    report.push_back(L"the machine after the run and the checks:");
    for (const Text &line : evidence.snapshot)
        report.push_back(line);
    report.push_back(L"");
    report.push_back(L"stdout.bin and stderr.bin hold the program's streams byte for byte (with "
                     L"both on one pipe, stdout.bin holds both); expected-stdout.txt and "
                     L"expected-stderr.txt what they should have held, with LF line ends.");
    return WriteBytes(dir + L"\\report.txt", Utf8(Joined(report))) &&
           WriteBytes(dir + L"\\stdout.bin", evidence.ran.out) &&
           WriteBytes(dir + L"\\stderr.bin", evidence.ran.err) &&
           WriteBytes(dir + L"\\expected-stdout.txt", evidence.expectedOut) &&
           WriteBytes(dir + L"\\expected-stderr.txt", evidence.expectedErr);
}

} // namespace kit

// brevanto-manpage: turns a program's --help text into a manual page, so
// that the page cannot drift from the help.
//
//   brevanto-manpage NAME SECTION VERSION DATE SUMMARY < help.txt > NAME.SECTION
//
// The help text is read in the layout both programs print: "usage:" lines
// (and their continuations) first, then paragraphs; a line that starts in
// column 0 and ends in ':' heads a section; an indented line "  TERM  TEXT"
// (two or more blanks between) is an item whose text may continue on lines
// indented as far as TEXT. A section named "Examples" keeps its lines as they
// are.
#include <cctype>
#include <iostream>
#include <string>
#include <vector>

namespace {

// Text for roff: backslashes and minus signs escaped, no line may start
// with a control character.
std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";
    else
      out += c;
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

size_t Indent(const std::string& line) {
  const size_t n = line.find_first_not_of(' ');
  return n == std::string::npos ? line.size() : n;
}

bool IsBlank(const std::string& line) { return Indent(line) == line.size(); }

bool IsHeading(const std::string& line) {
  return !line.empty() && line[0] != ' ' && line.back() == ':' && line.size() < 60 &&
         line.find(". ") == std::string::npos;
}

// "  TERM  TEXT": where TEXT starts, or 0 when the line is no item.
size_t ItemTextColumn(const std::string& line) {
  const size_t term = Indent(line);
  if (term == 0 || term == line.size()) return 0;
  const size_t gap = line.find("  ", term);
  if (gap == std::string::npos) return 0;
  const size_t text = line.find_first_not_of(' ', gap);
  return text == std::string::npos ? 0 : text;
}

// Bold options and literal words in an item's term; the rest (metavariables) italic.
std::string Term(const std::string& term) {
  std::string out;
  size_t i = 0;
  while (i < term.size()) {
    size_t end = term.find_first_of(" ,", i);
    if (end == std::string::npos) end = term.size();
    const std::string word = term.substr(i, end - i);
    const bool literal = word.empty() || word[0] == '-' || std::isdigit(static_cast<unsigned char>(word[0]));
    if (!word.empty()) out += (literal ? "\\fB" : "\\fI") + Escape(word) + "\\fR";
    if (end < term.size()) out += term[end];
    i = end + 1;
  }
  return out;
}

class Renderer {
 public:
  explicit Renderer(std::ostream& out) : m_Out(out) {}

  void Run(const std::vector<std::string>& lines) {
    size_t i = 0;
    Synopsis(lines, i);
    m_Out << ".SH DESCRIPTION\n";
    for (; i < lines.size(); ++i) {
      const std::string& line = lines[i];
      if (IsBlank(line)) {
        m_PendingParagraph = true;
      } else if (IsHeading(line)) {
        Heading(line.substr(0, line.size() - 1));
      } else if (m_Literal) {
        Literal(line);
      } else if (const size_t col = ItemTextColumn(line); col > 0 && !ContinuesItem(line)) {
        Item(line.substr(Indent(line), col - Indent(line)), line.substr(col), col);
      } else if (m_ItemColumn > 0 && Indent(line) >= m_ItemColumn - 2) {
        m_Out << Escape(line.substr(Indent(line))) << "\n";
      } else {
        Text(line);
      }
    }
  }

 private:
  void Synopsis(const std::vector<std::string>& lines, size_t& i) {
    m_Out << ".SH SYNOPSIS\n";
    const std::string usage = "usage: ";
    while (i < lines.size() && (lines[i].rfind(usage, 0) == 0 || (i > 0 && Indent(lines[i]) == usage.size() &&
                                                                  !IsBlank(lines[i])))) {
      const std::string text = lines[i].substr(lines[i].rfind(usage, 0) == 0 ? usage.size() : Indent(lines[i]));
      const size_t space = text.find(' ');
      m_Out << ".br\n\\fB" << Escape(text.substr(0, space)) << "\\fR";
      if (space != std::string::npos) m_Out << Escape(text.substr(space));
      m_Out << "\n";
      ++i;
    }
  }

  bool ContinuesItem(const std::string& line) const {
    return m_ItemColumn > 0 && Indent(line) >= m_ItemColumn;
  }

  void Heading(const std::string& title) {
    EndLiteral();
    m_ItemColumn = 0;
    m_PendingParagraph = false;
    m_Out << ".SH " << Escape(Upper(title)) << "\n";
    m_Literal = title == "Examples";
    if (m_Literal) m_Out << ".nf\n";
  }

  void Item(const std::string& term, const std::string& text, size_t column) {
    size_t end = term.find_last_not_of(' ');
    m_Out << ".TP\n" << Term(term.substr(0, end + 1)) << "\n" << Escape(text) << "\n";
    m_ItemColumn = column;
    m_PendingParagraph = false;
  }

  void Text(const std::string& line) {
    if (m_PendingParagraph || m_ItemColumn > 0) m_Out << ".PP\n";
    m_ItemColumn = 0;
    m_PendingParagraph = false;
    m_Out << Escape(line.substr(Indent(line))) << "\n";
  }

  void Literal(const std::string& line) {
    if (m_PendingParagraph) m_Out << "\n";
    m_PendingParagraph = false;
    m_Out << Escape(line) << "\n";
  }

  void EndLiteral() {
    if (m_Literal) m_Out << ".fi\n";
    m_Literal = false;
  }

 public:
  ~Renderer() { EndLiteral(); }

 private:
  std::ostream& m_Out;
  size_t m_ItemColumn = 0;
  bool m_PendingParagraph = false;
  bool m_Literal = false;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::cerr << "usage: brevanto-manpage NAME SECTION VERSION DATE SUMMARY < help.txt\n";
    return 2;
  }
  const std::string name = argv[1], section = argv[2], version = argv[3], date = argv[4], summary = argv[5];
  std::vector<std::string> lines;
  for (std::string line; std::getline(std::cin, line);) lines.push_back(line);
  while (!lines.empty() && IsBlank(lines.back())) lines.pop_back();
  if (lines.empty()) {
    std::cerr << "brevanto-manpage: no help text on standard input\n";
    return 1;
  }

  std::cout << ".TH " << Upper(name) << " " << section << " \"" << date << "\" \"brevanto " << version
            << "\" \"User Commands\"\n"
            << ".SH NAME\n"
            << Escape(name) << " \\- " << Escape(summary) << "\n";
  {
    Renderer renderer(std::cout);
    renderer.Run(lines);
  }
  std::cout << ".SH SEE ALSO\n"
            << (name == "brevanto" ? "\\fBbrevanto\\-cli\\fR(1)" : "\\fBbrevanto\\fR(1)")
            << ", \\fBodbc.ini\\fR(5)\n";
  return std::cout ? 0 : 1;
}

// The upper and lower panes of the program view: EditView, the source editor with line
// numbers, colouring and file drops, and StatusView, the message pane that shows the
// screen listing.
#pragma once

#include <QAbstractScrollArea>
#include <QPlainTextEdit>
#include <QSyntaxHighlighter>
#include <QSet>
#include <QTextCharFormat>

#include <atomic>
#include <vector>

struct ListingLine;
struct LineSource;

// The style of a word of the program, from the language's own tables: a key word, a word
// that starts a statement or option only in its place (WEIGHT, CBAND, ...), a name the
// program declares, a built-in function, or none. A declared name wins over a built-in.
enum WordStyle { STYLE_NONE, STYLE_KEYWORD, STYLE_CONTEXT_WORD, STYLE_DECLARED, STYLE_BUILTIN };
WordStyle editWordStyle(const QString& word, const QSet<QString>& declared);
// The names the VARIABLES, PARAMETERS, DOUBLE, CONSTANT and DERIVED statements of a
// program declare, read up to its DATA statement.
QSet<QString> editDeclaredNames(const QTextDocument* document);

// The words completion offers for a prefix (any letter case), sorted: the key words
// and statement words in capitals, the built-in functions in lower case, the declared
// names as written. Empty for an empty prefix.
QStringList editCompletions(const QString& prefix, const QSet<QString>& declared);

// Colours key words, statement and option words, declared names, built-in function
// names, numbers, comments and strings.
class SourceHighlighter : public QSyntaxHighlighter {
public:
    explicit SourceHighlighter(QTextDocument* document);
    // Takes the program's declared names, and colours again when they changed.
    void updateDeclaredNames();
    const QSet<QString>& declaredNames() const { return declared; }

protected:
    void highlightBlock(const QString& text) override;

private:
    QTextCharFormat keywordFormat;
    QTextCharFormat contextFormat;
    QTextCharFormat declaredFormat;
    QTextCharFormat functionFormat;
    QTextCharFormat numberFormat;
    QTextCharFormat commentFormat;
    QTextCharFormat stringFormat;
    QSet<QString> declared;         // names the program declares
};

class EditView : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit EditView(QWidget* parent = nullptr);

    int lineNumberWidth() const;
    void paintLineNumbers(QPaintEvent* event);
    void goToLine(int lineNumber);      // 1-based; the cursor at the line's start
    void selectLine(int lineNumber);    // 1-based; the whole line selected and shown

    // Find and replace. findText searches from the selection on (or back), wrapping
    // round the document once, and selects the match; false when there is none.
    // replaceNext replaces the selection when it is a match, then finds the next one.
    // replaceAll replaces every match as one undo step and returns their number.
    bool findText(const QString& text, QTextDocument::FindFlags flags);
    bool replaceNext(const QString& text, const QString& replacement, QTextDocument::FindFlags flags);
    int replaceAll(const QString& text, const QString& replacement, QTextDocument::FindFlags flags);
    // Ctrl+Space, or three letters typed: the words that complete the one at the cursor.
    void showCompletions();
    class QCompleter* completer() const { return completion; }
    // A line source over the document's lines as they are now; valid while the
    // document is not changed.
    LineSource lineSource();

signals:
    void fileDropped(const QString& path);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void updateLineNumberArea(const QRect& rect, int dy);
    void insertCompletion(const QString& word);
    QString wordBeforeCursor() const;
    QWidget* lineNumberArea;
    SourceHighlighter* highlighter;
    class QCompleter* completion;
};

// True when the drop carries one local file whose name ends in ".mxl" (any case); its
// path then goes to *path.
bool editDropPath(const class QMimeData* mime, QString* path);

class StatusView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit StatusView(QWidget* parent = nullptr);

    // Forgets every line; call before the screen listing is cleared.
    void clear();
    int lineCount() const { return int(lines.size()); }
    QString lineText(int index) const;
    // Line number named by a message line ("  12: ..." or "Error executing line 12: ..."),
    // or 0 when it names none.
    static int sourceLineOf(const QString& text);
    // The first error message: the index of its first line (the echo of the source line
    // above "Error: ..." for a compile error) and the source line it names (0 when it
    // names none). Index -1 when there is no error.
    struct ErrorPlace {
        int index;          // line of the pane
        int sourceLine;     // 1-based line of the program, 0 for none
    };
    ErrorPlace firstError() const;
    // Scrolls the line to the top of the pane and marks it; -1 clears the mark.
    void showLine(int index);
    int firstVisibleLine() const;

    // Called from any thread when the screen listing has grown.
    void noteNewLines();

public slots:
    void takeNewLines();

signals:
    void sourceLineChosen(int lineNumber);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void updateScrollBars();
    std::vector<const ListingLine*> lines;   // the screen listing's lines taken so far
    const ListingLine* last = nullptr;       // the newest of them
    int marked = -1;                         // line drawn highlighted, -1 for none
    std::atomic<bool> refreshPending{false}; // a queued takeNewLines is on its way
};

// Source editor and message pane.
#include "app/editview.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFontDatabase>
#include <QMimeData>
#include <QPainter>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBlock>
#include <QTimer>
#include <QAbstractItemView>
#include <QCompleter>
#include <QKeyEvent>
#include <QStringListModel>
#include <algorithm>

#include <cstring>

#include "lang/functable.h"
#include "lang/lexer.h"
#include "support/listing.h"

namespace {

constexpr int LINE_NUMBER_GAP = 6;       // pixels between the numbers and the text
constexpr int COMPLETION_AFTER_LETTERS = 3;     // letters typed before completion offers itself
constexpr int DECLARED_NAMES_DELAY_MS = 300;   // quiet time before the declared names are read again
constexpr int STATUS_LEFT_MARGIN = 2;    // pixels left of each message line
constexpr int STATUS_EXTENT_WIDTH = 100; // pixels of the pane's horizontal extent beyond its widest line

enum BlockState { STATE_PLAIN = 0, STATE_IN_COMMENT = 1 };

class LineNumberArea : public QWidget {
public:
    explicit LineNumberArea(EditView* editor) : QWidget(editor), editor(editor) {}
    QSize sizeHint() const override { return QSize(editor->lineNumberWidth(), 0); }

protected:
    void paintEvent(QPaintEvent* event) override { editor->paintLineNumbers(event); }

private:
    EditView* editor;
};

void copyDocumentLine(void* context, int index, char* buffer, int size)
{
    const QTextDocument* document = static_cast<const QTextDocument*>(context);
    const QByteArray text = document->findBlockByNumber(index).text().toUtf8();
    const int length = std::min<int>(int(text.size()), size - 1);
    std::memcpy(buffer, text.constData(), size_t(length));
    buffer[length] = '\0';
}

QFont editorFont()
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::TypeWriter);
    return font;
}

}  // namespace

WordStyle editWordStyle(const QString& word, const QSet<QString>& declared)
{
    const QByteArray latin = word.toLatin1();
    if (lexerKeywordCode(latin.constData()) != 0)
        return STYLE_KEYWORD;
    for (int k = 0; const char* context = lexerContextWord(k); ++k)
        if (word.compare(QLatin1String(context), Qt::CaseInsensitive) == 0)
            return STYLE_CONTEXT_WORD;
    if (declared.contains(word))
        return STYLE_DECLARED;
    if (lookupBuiltin(latin.toUpper().constData()))
        return STYLE_BUILTIN;
    return STYLE_NONE;
}

QSet<QString> editDeclaredNames(const QTextDocument* document)
{
    static const QRegularExpression declaration(
        QStringLiteral("\\b(?:VARIABLES|PARAMETERS|DOUBLE|CONSTANT|DERIVED)\\b([^;]*)"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression dataStatement(QStringLiteral("^\\s*DATA\\b"), QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression name(QStringLiteral("^\\s*([A-Za-z_][A-Za-z0-9_]*)"));
    QString text;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        if (dataStatement.match(block.text()).hasMatch())
            break;
        QString line = block.text();
        const qsizetype comment = line.indexOf(QLatin1String("//"));
        text += (comment >= 0 ? line.left(comment) : line) + QLatin1Char(' ');
    }
    QSet<QString> names;
    for (const QRegularExpressionMatch& statement : declaration.globalMatch(text))
        for (const QString& item : statement.captured(1).split(QLatin1Char(',')))
            if (const QRegularExpressionMatch found = name.match(item); found.hasMatch())
                names.insert(found.captured(1));
    return names;
}

SourceHighlighter::SourceHighlighter(QTextDocument* document) : QSyntaxHighlighter(document)
{
    keywordFormat.setForeground(QColor(0, 0, 160));
    keywordFormat.setFontWeight(QFont::Bold);
    contextFormat.setForeground(QColor(110, 0, 140));
    contextFormat.setFontWeight(QFont::Bold);
    declaredFormat.setForeground(QColor(150, 80, 0));
    numberFormat.setForeground(QColor(120, 80, 160));
    functionFormat.setForeground(QColor(0, 110, 110));
    commentFormat.setForeground(QColor(0, 128, 0));
    commentFormat.setFontItalic(true);
    stringFormat.setForeground(QColor(160, 0, 0));
}

// Words, strings and both comment forms, with a block comment carried to the next
// line through the block state.
void SourceHighlighter::highlightBlock(const QString& text)
{
    const int length = int(text.size());
    int i = 0;
    if (previousBlockState() == STATE_IN_COMMENT) {
        const int end = int(text.indexOf(QLatin1String("*/")));
        if (end < 0) {
            setFormat(0, length, commentFormat);
            setCurrentBlockState(STATE_IN_COMMENT);
            return;
        }
        setFormat(0, end + 2, commentFormat);
        i = end + 2;
    }
    setCurrentBlockState(STATE_PLAIN);
    while (i < length) {
        const QChar c = text[i];
        if (c == '/' && i + 1 < length && text[i + 1] == '/') {
            setFormat(i, length - i, commentFormat);
            return;
        }
        if (c == '/' && i + 1 < length && text[i + 1] == '*') {
            const int end = int(text.indexOf(QLatin1String("*/"), i + 2));
            if (end < 0) {
                setFormat(i, length - i, commentFormat);
                setCurrentBlockState(STATE_IN_COMMENT);
                return;
            }
            setFormat(i, end + 2 - i, commentFormat);
            i = end + 2;
            continue;
        }
        if (c == '"') {
            int end = i + 1;
            while (end < length && text[end] != '"')
                end += text[end] == '\\' ? 2 : 1;
            end = std::min(end + 1, length);
            setFormat(i, end - i, stringFormat);
            i = end;
            continue;
        }
        if (c.isLetter() || c == '_') {
            int end = i + 1;
            while (end < length && (text[end].isLetterOrNumber() || text[end] == '_'))
                ++end;
            switch (editWordStyle(text.mid(i, end - i), declared)) {
            case STYLE_KEYWORD: setFormat(i, end - i, keywordFormat); break;
            case STYLE_CONTEXT_WORD: setFormat(i, end - i, contextFormat); break;
            case STYLE_DECLARED: setFormat(i, end - i, declaredFormat); break;
            case STYLE_BUILTIN: setFormat(i, end - i, functionFormat); break;
            case STYLE_NONE: break;
            }
            i = end;
            continue;
        }
        if (c.isDigit() || (c == '.' && i + 1 < length && text[i + 1].isDigit())) {
            const int start = i;
            while (i < length && (text[i].isLetterOrNumber() || text[i] == '.' ||
                                  ((text[i] == '+' || text[i] == '-') && (text[i - 1] == 'e' || text[i - 1] == 'E'))))
                ++i;
            setFormat(start, i - start, numberFormat);
            continue;
        }
        ++i;
    }
}

QStringList editCompletions(const QString& prefix, const QSet<QString>& declared)
{
    QStringList words;
    if (prefix.isEmpty())
        return words;
    const auto offer = [&](const QString& word) {
        if (word.startsWith(prefix, Qt::CaseInsensitive) && !words.contains(word))
            words << word;
    };
    for (int k = 0; const char* word = lexerKeyword(k); ++k)
        offer(QString::fromLatin1(word).toUpper());
    for (int k = 0; const char* word = lexerContextWord(k); ++k)
        offer(QLatin1String(word));
    for (int k = 0; k < builtinTableSize; ++k)
        offer(QString::fromLatin1(builtinTable[k].name).toLower());
    for (const QString& name : declared)
        offer(name);
    std::sort(words.begin(), words.end(), [](const QString& a, const QString& b) {
        const int order = a.compare(b, Qt::CaseInsensitive);
        return order != 0 ? order < 0 : a < b;
    });
    return words;
}

void SourceHighlighter::updateDeclaredNames()
{
    QSet<QString> names = editDeclaredNames(document());
    if (names == declared)
        return;
    declared = std::move(names);
    rehighlight();
}

EditView::EditView(QWidget* parent) : QPlainTextEdit(parent), lineNumberArea(new LineNumberArea(this))
{
    setFont(editorFont());
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setTabStopDistance(4 * fontMetrics().horizontalAdvance(' '));
    highlighter = new SourceHighlighter(document());
    completion = new QCompleter(this);
    completion->setWidget(this);
    completion->setCompletionMode(QCompleter::PopupCompletion);
    completion->setCaseSensitivity(Qt::CaseInsensitive);
    completion->setModel(new QStringListModel(completion));
    connect(completion, qOverload<const QString&>(&QCompleter::activated), this, &EditView::insertCompletion);
    // The declared names are read again a moment after the typing stops.
    QTimer* names = new QTimer(this);
    names->setSingleShot(true);
    names->setInterval(DECLARED_NAMES_DELAY_MS);
    connect(names, &QTimer::timeout, highlighter, &SourceHighlighter::updateDeclaredNames);
    connect(document(), &QTextDocument::contentsChanged, names, qOverload<>(&QTimer::start));
    connect(this, &QPlainTextEdit::blockCountChanged, this, [this] { setViewportMargins(lineNumberWidth(), 0, 0, 0); });
    connect(this, &QPlainTextEdit::updateRequest, this, &EditView::updateLineNumberArea);
    setViewportMargins(lineNumberWidth(), 0, 0, 0);
}

int EditView::lineNumberWidth() const
{
    int digits = 1;
    for (int count = std::max(1, blockCount()); count >= 10; count /= 10)
        ++digits;
    return LINE_NUMBER_GAP + fontMetrics().horizontalAdvance(QLatin1Char('9')) * std::max(digits, 3);
}

void EditView::updateLineNumberArea(const QRect& rect, int dy)
{
    if (dy)
        lineNumberArea->scroll(0, dy);
    else
        lineNumberArea->update(0, rect.y(), lineNumberArea->width(), rect.height());
}

void EditView::resizeEvent(QResizeEvent* event)
{
    QPlainTextEdit::resizeEvent(event);
    const QRect area = contentsRect();
    lineNumberArea->setGeometry(QRect(area.left(), area.top(), lineNumberWidth(), area.height()));
}

void EditView::paintLineNumbers(QPaintEvent* event)
{
    QPainter painter(lineNumberArea);
    painter.fillRect(event->rect(), palette().color(QPalette::AlternateBase));
    painter.setPen(palette().color(QPalette::PlaceholderText));
    QTextBlock block = firstVisibleBlock();
    int top = qRound(blockBoundingGeometry(block).translated(contentOffset()).top());
    const int width = lineNumberArea->width() - LINE_NUMBER_GAP / 2;
    while (block.isValid() && top <= event->rect().bottom()) {
        const int bottom = top + qRound(blockBoundingRect(block).height());
        if (block.isVisible() && bottom >= event->rect().top())
            painter.drawText(0, top, width, fontMetrics().height(), Qt::AlignRight,
                             QString::number(block.blockNumber() + 1));
        block = block.next();
        top = bottom;
    }
}

void EditView::goToLine(int lineNumber)
{
    const QTextBlock block = document()->findBlockByNumber(lineNumber - 1);
    if (!block.isValid())
        return;
    QTextCursor cursor(block);
    setTextCursor(cursor);
    centerCursor();
    setFocus();
}

void EditView::selectLine(int lineNumber)
{
    const QTextBlock block = document()->findBlockByNumber(lineNumber - 1);
    if (!block.isValid())
        return;
    QTextCursor cursor(block);
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    setTextCursor(cursor);
    centerCursor();
    setFocus();
}

bool EditView::findText(const QString& text, QTextDocument::FindFlags flags)
{
    if (text.isEmpty())
        return false;
    if (find(text, flags))
        return true;
    // Once round: from the other end of the document.
    const QTextCursor before = textCursor();
    QTextCursor cursor = before;
    cursor.movePosition(flags & QTextDocument::FindBackward ? QTextCursor::End : QTextCursor::Start);
    setTextCursor(cursor);
    if (find(text, flags))
        return true;
    setTextCursor(before);
    return false;
}

bool EditView::replaceNext(const QString& text, const QString& replacement, QTextDocument::FindFlags flags)
{
    QTextCursor cursor = textCursor();
    const Qt::CaseSensitivity caseRule = flags & QTextDocument::FindCaseSensitively ? Qt::CaseSensitive
                                                                                    : Qt::CaseInsensitive;
    if (cursor.hasSelection() && cursor.selectedText().compare(text, caseRule) == 0) {
        cursor.insertText(replacement);
        setTextCursor(cursor);
    }
    return findText(text, flags & ~QTextDocument::FindFlags(QTextDocument::FindBackward));
}

int EditView::replaceAll(const QString& text, const QString& replacement, QTextDocument::FindFlags flags)
{
    if (text.isEmpty())
        return 0;
    flags &= ~QTextDocument::FindFlags(QTextDocument::FindBackward);
    int count = 0;
    QTextCursor edit(document());
    edit.beginEditBlock();
    for (QTextCursor match = document()->find(text, 0, flags); !match.isNull();
         match = document()->find(text, match, flags)) {
        match.insertText(replacement);
        ++count;
    }
    edit.endEditBlock();
    return count;
}

LineSource EditView::lineSource()
{
    return LineSource{document()->blockCount(), copyDocumentLine, document()};
}

QString EditView::wordBeforeCursor() const
{
    QTextCursor cursor = textCursor();
    const QString line = cursor.block().text();
    int start = cursor.positionInBlock();
    while (start > 0 && (line[start - 1].isLetterOrNumber() || line[start - 1] == '_'))
        --start;
    return line.mid(start, cursor.positionInBlock() - start);
}

void EditView::showCompletions()
{
    const QString prefix = wordBeforeCursor();
    highlighter->updateDeclaredNames();
    const QStringList words = editCompletions(prefix, highlighter->declaredNames());
    if (words.isEmpty() || (words.size() == 1 && words.first() == prefix)) {
        completion->popup()->hide();
        return;
    }
    static_cast<QStringListModel*>(completion->model())->setStringList(words);
    completion->setCompletionPrefix(prefix);
    QRect place = cursorRect();
    place.setWidth(completion->popup()->sizeHintForColumn(0) + completion->popup()->verticalScrollBar()->sizeHint().width());
    completion->complete(place);
}

void EditView::insertCompletion(const QString& word)
{
    QTextCursor cursor = textCursor();
    const int typed = int(wordBeforeCursor().size());
    cursor.movePosition(QTextCursor::Left, QTextCursor::KeepAnchor, typed);
    cursor.insertText(word);
    setTextCursor(cursor);
}

void EditView::keyPressEvent(QKeyEvent* event)
{
    // While the list is open, these keys choose from it.
    if (completion->popup()->isVisible()) {
        switch (event->key()) {
        case Qt::Key_Enter:
        case Qt::Key_Return:
        case Qt::Key_Escape:
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
            event->ignore();
            return;
        default:
            break;
        }
    }
    if (event->key() == Qt::Key_Space && (event->modifiers() & Qt::ControlModifier)) {
        showCompletions();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
    const QString text = event->text();
    if (!text.isEmpty() && (text[0].isLetterOrNumber() || text[0] == '_') &&
        wordBeforeCursor().size() >= COMPLETION_AFTER_LETTERS)
        showCompletions();
    else if (completion->popup()->isVisible() && (text.isEmpty() || !(text[0].isLetterOrNumber() || text[0] == '_')))
        completion->popup()->hide();
}

bool editDropPath(const QMimeData* mime, QString* path)
{
    if (!mime || !mime->hasUrls() || mime->urls().size() != 1)
        return false;
    const QUrl url = mime->urls().first();
    if (!url.isLocalFile() || !url.toLocalFile().endsWith(QLatin1String(".mxl"), Qt::CaseInsensitive))
        return false;
    *path = url.toLocalFile();
    return true;
}

void EditView::dragEnterEvent(QDragEnterEvent* event)
{
    QString path;
    if (editDropPath(event->mimeData(), &path))
        event->acceptProposedAction();
    else
        QPlainTextEdit::dragEnterEvent(event);
}

void EditView::dropEvent(QDropEvent* event)
{
    QString path;
    if (!editDropPath(event->mimeData(), &path)) {
        QPlainTextEdit::dropEvent(event);
        return;
    }
    event->acceptProposedAction();
    emit fileDropped(path);
}

StatusView::StatusView(QWidget* parent) : QAbstractScrollArea(parent)
{
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    setFont(editorFont());
}

void StatusView::clear()
{
    lines.clear();
    marked = -1;
    last = nullptr;
    updateScrollBars();
    viewport()->update();
}

QString StatusView::lineText(int index) const
{
    if (index < 0 || index >= lineCount())
        return QString();
    const char* text = lines[size_t(index)]->text;
    return QString::fromLatin1(text, qsizetype(std::strlen(text)));
}

int StatusView::sourceLineOf(const QString& text)
{
    static const QRegularExpression echo(QStringLiteral("^\\s*(\\d+):"));
    static const QRegularExpression executing(QStringLiteral("^Error executing line (\\d+):"));
    // A failing observation of the preview or of the Diagnosis section.
    static const QRegularExpression observation(QStringLiteral("^\\s*[Oo]bservation \\d+, line (\\d+):"));
    QRegularExpressionMatch match = echo.match(text);
    if (!match.hasMatch())
        match = executing.match(text);
    if (!match.hasMatch())
        match = observation.match(text);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

StatusView::ErrorPlace StatusView::firstError() const
{
    for (int i = 0; i < lineCount(); ++i) {
        const QString text = lineText(i);
        if (!text.startsWith(QLatin1String("Error")))
            continue;
        const int named = sourceLineOf(text);
        if (named > 0)
            return {i, named};
        // A compile error stands under the echo of its source line.
        const int above = i > 0 ? sourceLineOf(lineText(i - 1)) : 0;
        return above > 0 ? ErrorPlace{i - 1, above} : ErrorPlace{i, 0};
    }
    return {-1, 0};
}

void StatusView::showLine(int index)
{
    marked = index;
    if (index >= 0)
        verticalScrollBar()->setValue(std::min(index, verticalScrollBar()->maximum()));
    viewport()->update();
}

int StatusView::firstVisibleLine() const
{
    return verticalScrollBar()->value();
}

void StatusView::noteNewLines()
{
    if (!refreshPending.exchange(true))
        QMetaObject::invokeMethod(this, &StatusView::takeNewLines, Qt::QueuedConnection);
}

// Walks on from the newest line taken; the worker may append meanwhile, and each line
// is complete before it is linked.
void StatusView::takeNewLines()
{
    refreshPending.store(false);
    const bool atEnd = verticalScrollBar()->value() >= verticalScrollBar()->maximum();
    const ListingLine* line = last ? std::atomic_ref<ListingLine*>(const_cast<ListingLine*>(last)->next).load(
                                         std::memory_order_acquire)
                                   : listingHead();
    const size_t before = lines.size();
    while (line) {
        lines.push_back(line);
        last = line;
        line = std::atomic_ref<ListingLine*>(const_cast<ListingLine*>(line)->next).load(std::memory_order_acquire);
    }
    if (lines.size() == before)
        return;
    updateScrollBars();
    if (atEnd)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    viewport()->update();
}

void StatusView::updateScrollBars()
{
    const int lineHeight = fontMetrics().height();
    const int visible = std::max(1, viewport()->height() / lineHeight);
    verticalScrollBar()->setRange(0, std::max(0, lineCount() - visible));
    verticalScrollBar()->setPageStep(visible);
    const int charWidth = fontMetrics().averageCharWidth();
    const int extent = (LISTING_LINE_MAX + 2) * charWidth + STATUS_EXTENT_WIDTH;
    horizontalScrollBar()->setRange(0, std::max(0, extent - viewport()->width()));
    horizontalScrollBar()->setSingleStep(charWidth);
    horizontalScrollBar()->setPageStep(4 * charWidth);
}

void StatusView::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
}

void StatusView::paintEvent(QPaintEvent*)
{
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Text));
    const int lineHeight = fontMetrics().height();
    const int first = verticalScrollBar()->value();
    const int x = STATUS_LEFT_MARGIN - horizontalScrollBar()->value();
    for (int i = first, y = 0; i < lineCount() && y < viewport()->height(); ++i, y += lineHeight) {
        // The first error and the line under it (its "Error:" text) stand out.
        const bool highlighted = marked >= 0 && (i == marked || (i == marked + 1 && lineText(i).startsWith(QLatin1String("Error: "))));
        if (highlighted) {
            painter.fillRect(0, y, viewport()->width(), lineHeight, palette().color(QPalette::Highlight));
            painter.setPen(palette().color(QPalette::HighlightedText));
        }
        painter.drawText(x, y + fontMetrics().ascent(), lineText(i));
        if (highlighted)
            painter.setPen(palette().color(QPalette::Text));
    }
}

void StatusView::mouseDoubleClickEvent(QMouseEvent* event)
{
    const int index = verticalScrollBar()->value() + int(event->position().y()) / fontMetrics().height();
    const int lineNumber = sourceLineOf(lineText(index));
    if (lineNumber > 0)
        emit sourceLineChosen(lineNumber);
}

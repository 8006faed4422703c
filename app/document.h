// CMOXELDoc: the program source the user edits, its file, the modified flag and the
// list of recently used files.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QPlainTextEdit;

// The program File > New starts from: a small complete fit, commented, that runs as it is.
extern const char NEW_PROGRAM_TEMPLATE[];

constexpr int RECENT_FILE_COUNT = 4;
constexpr qint64 DOCUMENT_SIZE_MAX = 256LL * 1024 * 1024;   // bytes of a program file that are opened

// Cells copied from a spreadsheet (tab-separated, else comma-separated; a first row of
// names when any of its cells is not a number) as records for inline DATA: a comment
// line naming the columns, then one record per row, values separated by two blanks. A
// decimal comma in a tab-separated cell becomes a point. A row with an empty or
// non-numeric cell is kept as a comment and counted in *leftOut. Empty when no row
// holds a number.
QString docDataRecords(const QString& cells, int* leftOut);

class CMOXELDoc : public QObject {
    Q_OBJECT
public:
    explicit CMOXELDoc(QPlainTextEdit* editor, QObject* parent = nullptr);

    const QString& path() const { return filePath; }     // empty while untitled
    QString displayName() const;                          // file name, or "Untitled"
    bool isModified() const;

    // An empty, untitled program; with the template's text when asked (unmodified).
    void newDocument(bool fromTemplate = false);
    // Reads a program file into the editor; false with *message set when it cannot be read.
    bool open(const QString& path, QString* message);
    // Writes the editor's text; false with *message set when it cannot be written.
    bool saveAs(const QString& path, QString* message);

    QStringList recentFiles() const;
    void addRecentFile(const QString& path);

    // Program files are UTF-8 when they decode as such, else taken as Latin-1.
    static QString decodeText(const QByteArray& bytes);
    // name.mxl.mxl becomes name.mxl; other dots stay.
    static QString cutDoubledExtension(const QString& path);

signals:
    void pathChanged();

private:
    QPlainTextEdit* editor;
    QString filePath;
};

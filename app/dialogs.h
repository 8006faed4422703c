// The window's dialogs: the progress of an analysis, the save-plot and colour dialogs,
// the memory listing, the first-start offer, the tutorial and the manual viewer.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <QWidget>

#include <vector>

class EditView;
class QCheckBox;
class QLabel;
class QTreeWidget;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QWizard;

// "Performing analysis...": iteration, objective value, the sweep step as "k of N",
// the elapsed time, and Cancel.
class ProgressDialog : public QDialog {
    Q_OBJECT
public:
    // sweepSteps: the grid points of the SWEEP statements, 0 without them.
    ProgressDialog(bool minimisation, long sweepSteps, QWidget* parent);
    // Shows the elapsed time, and the progress values when the worker has set new
    // ones; true when it did.
    bool refresh();
    QPushButton* cancelButton() const { return cancel; }
    QString sweepText() const;
    QString elapsedText() const;

private:
    QLabel* iteration;
    QLabel* value;
    QLabel* sweepStep;
    QLabel* elapsed;
    QPushButton* cancel;
    long sweepSteps;
    QElapsedTimer clock;
};

// Elapsed time as m:ss, or h:mm:ss from an hour on.
QString progressElapsedText(qint64 milliseconds);

// The save-plot dialog's rule for the name when the file type is switched: a name
// whose file part has a '.' after its first character gets the type's extension from its
// last '.' on, unless that extension already names the type (".jpeg" does JPEG), in any case.
QString savePlotSwitchName(const QString& name, int fileType);

// The name with the extension of the file type added when its file part has none.
QString savePlotWithExtension(const QString& name, int fileType);

// "Write plot image to disk file". With a proposed name (PROGRAM_plotK beside the
// program), the box starts with it in the stored type's extension; otherwise with the
// stored name.
class SavePlotDialog : public QDialog {
    Q_OBJECT
public:
    explicit SavePlotDialog(QWidget* parent, const QString& proposedName = QString());
    void chooseType(int fileType);      // as a click on the type's button
    QString fileName() const;
    // Reads the boxes into pixels; false with *message set when a size is not a whole
    // number of pixels (or a number of millimetres) or the resolution is unusable.
    bool readBoxes(int* width, int* height, QString* message) const;
    int resolution() const;             // dots per inch in the box, 0 when unusable
    // Adds the extension, asks before an existing file is replaced (No keeps the
    // dialog open) and stores the four settings.
    void accept() override;
    void browse();                      // the file chooser, starting at the box's name

    QLineEdit* nameBox;
    QLineEdit* widthBox;
    QLineEdit* heightBox;
    QRadioButton* jpegButton;
    QRadioButton* bmpButton;
    QRadioButton* pngButton;
    QRadioButton* svgButton;
    QRadioButton* pdfButton;
    QComboBox* unitBox;                 // "pixels" or "millimetres"
    QLineEdit* resolutionBox;           // dots per inch
    QPushButton* coloursButton;         // "Set colors": the colour dialog of the saved set
    QPushButton* browseButton;          // "Browse...": the file chooser

private:
    QRadioButton* typeButton(int type) const;
    void switchUnits(int index);
    int fileType;
    int shownUnits = 0;                 // unitBox's index the boxes are written in
};

constexpr int COLOUR_ROW_COUNT = 11;

// "Plot color selection" for one colour set.
class ColourDialog : public QDialog {
    Q_OBJECT
public:
    ColourDialog(int set, QWidget* parent);
    // Reads the ten rows into entries; false with *message naming the first bad box.
    bool readBoxes(unsigned* entries, QString* message) const;
    void loadEntries(const unsigned* entries);
    void setStandardColours();          // the table chosen by the two radio pairs
    void accept() override;             // replaces and stores the set when it changed

    QLineEdit* red[COLOUR_ROW_COUNT];
    QLineEdit* green[COLOUR_ROW_COUNT];
    QLineEdit* blue[COLOUR_ROW_COUNT];
    QLineEdit* width[COLOUR_ROW_COUNT];
    QPushButton* swatch[COLOUR_ROW_COUNT];  // the row's colour; a click opens the colour chooser
    QRadioButton* colourButton;
    QRadioButton* monochromeButton;
    QRadioButton* blackButton;
    QRadioButton* whiteButton;

    void chooseColour(int slot);        // the colour chooser, preset to the row's colour
    QColor rowColour(int slot) const;   // as the boxes say, each component clamped to 0..255

private:
    void updateSwatch(int slot);
    int set;
};

// Find and replace in the source editor; modeless, one per main window.
class FindDialog : public QDialog {
    Q_OBJECT
public:
    FindDialog(EditView* editor, QWidget* parent);
    void setReplacing(bool replacing);  // shows or hides the replacement row
    bool findNext(bool backward);       // the next match of the find box; "Not found" otherwise
    QLineEdit* findBox;
    QLineEdit* replaceBox;
    QCheckBox* matchCase;
    QCheckBox* wholeWords;
    QLabel* status;

private:
    int flags(bool backward) const;     // QTextDocument::FindFlags
    EditView* editor;
    QLabel* replaceLabel;
    QPushButton* replaceButton;
    QPushButton* replaceAllButton;
};

// "Memory Block Types": the live blocks of the allocator grouped by tag.
class MemoryBlockDialog : public QDialog {
    Q_OBJECT
public:
    explicit MemoryBlockDialog(QWidget* parent);
    QStringList lines() const;

private:
    class QListWidget* list;
};

// The first-start offer; true when the user asked for the tutorial.
bool dialogsOfferTutorial(QWidget* parent);
// The introductory tutorial, a wizard of five pages.
QWizard* dialogsMakeTutorial(QWidget* parent);

// A heading of the manual: a line underlined by '=' (a chapter) or '-' (a section) of
// at least its length.
struct ManualHeading {
    int line;           // 0-based line of the heading's text
    int level;          // 0 chapter, 1 section
    QString title;
};
std::vector<ManualHeading> manualHeadings(const QString& text);

// A read-only window on the manual with its contents list and a find box.
class ManualViewer : public QWidget {
    Q_OBJECT
public:
    explicit ManualViewer(QWidget* parent = nullptr);
    bool load(const QString& path);
    bool find(const QString& text, bool backward);   // from the cursor, wrapping once
    void showLine(int line);                         // 0-based; the line at the top
    QPlainTextEdit* text() const { return viewer; }
    QTreeWidget* contents() const { return contentsList; }

private:
    QPlainTextEdit* viewer;
    QTreeWidget* contentsList;
    QLineEdit* findBox;
    QLabel* findStatus;
};

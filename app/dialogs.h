// The window's dialogs: the progress of an analysis, the save-plot and colour dialogs,
// the memory listing, the first-start offer, the tutorial and the manual viewer.
#pragma once

#include <QDialog>
#include <QString>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QWizard;

// "Performing analysis...": iteration, objective value and sweep step, and Cancel.
class ProgressDialog : public QDialog {
    Q_OBJECT
public:
    ProgressDialog(bool minimisation, bool sweeping, QWidget* parent);
    // Shows the progress values when the worker has set new ones; true when it did.
    bool refresh();
    QPushButton* cancelButton() const { return cancel; }

private:
    QLabel* iteration;
    QLabel* value;
    QLabel* sweepStep;
    QPushButton* cancel;
    bool sweeping;
};

// The save-plot dialog's rule for the name when the file type is switched: a name
// whose file part has a '.' after its first character gets ".jpg" (or ".bmp") from its
// last '.' on, unless the letter after that '.' is already 'j' (or 'b') in any case.
QString savePlotSwitchName(const QString& name, int fileType);

// "Write plot image to disk file".
class SavePlotDialog : public QDialog {
    Q_OBJECT
public:
    explicit SavePlotDialog(QWidget* parent);
    void chooseType(int fileType);      // as a click on "JPG image file" or "BMP image file"
    QString fileName() const;
    // Reads the boxes; false with *message set when a size is not a whole number.
    bool readBoxes(int* width, int* height, QString* message) const;
    void accept() override;             // stores the four settings

    QLineEdit* nameBox;
    QLineEdit* widthBox;
    QLineEdit* heightBox;
    QRadioButton* jpegButton;
    QRadioButton* bmpButton;
    QPushButton* coloursButton;         // "Set colors": the colour dialog of the saved set

private:
    int fileType;
};

constexpr int COLOUR_ROW_COUNT = 10;

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
    QRadioButton* colourButton;
    QRadioButton* monochromeButton;
    QRadioButton* blackButton;
    QRadioButton* whiteButton;

private:
    void chooseColour(int slot);
    int set;
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

// A read-only window on the manual with a find box.
class ManualViewer : public QWidget {
    Q_OBJECT
public:
    explicit ManualViewer(QWidget* parent = nullptr);
    bool load(const QString& path);
    bool find(const QString& text, bool backward);   // from the cursor, wrapping once
    QPlainTextEdit* text() const { return viewer; }

private:
    QPlainTextEdit* viewer;
    QLineEdit* findBox;
    QLabel* findStatus;
};

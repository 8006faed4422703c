// Dialogs of the window.
#include "app/dialogs.h"

#include <QButtonGroup>
#include <QColorDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QVBoxLayout>
#include <QWizard>

#include <cstdio>

#include "analysis/driver.h"
#include "plot/colours.h"
#include "plot/export.h"
#include "support/allocator.h"

namespace {

constexpr int WIDTH_BOX_FIRST_SLOT = 3;      // slots before this have no pen width

QString formatValue(const char* format, double value)
{
    char text[64];
    snprintf(text, sizeof text, format, value);
    return QString::fromLatin1(text);
}

// A whole decimal number as typed; false when the box holds anything else.
bool readDecimal(const QLineEdit* box, int* value)
{
    bool ok = false;
    *value = box->text().trimmed().toInt(&ok, 10);
    return ok;
}

// ORDER TUTORIAL: the five pages of the introductory tutorial.
struct TutorialPage {
    const char* title;
    const char* text;
};

const TutorialPage tutorialPages[] = {
    {"Welcome to MOXEL",
     "MOXEL fits models to data by nonlinear least squares.\n\n"
     "You describe an analysis as a short program in MOXEL's own statement language: which "
     "variables the data records hold, which parameters are to be estimated, the model that "
     "predicts the dependent variable, and where the data come from. Statements end with a "
     "semicolon; key words may be written in any letter case; comments follow // or stand "
     "between /* and */.\n\n"
     "The next pages show the four statements every regression needs."},
    {"Declarations",
     "VARIABLES names the input variables in the order in which their values stand in each "
     "data record:\n\n"
     "    VARIABLES Conc, Rate;\n\n"
     "PARAMETERS names the parameters to be estimated, each with an optional initial guess:\n\n"
     "    PARAMETERS Vmax = 2, Km = 0.5;\n\n"
     "DOUBLE declares work variables and arrays for your own computations, and CONSTANT "
     "names fixed values. A good initial guess helps the fit converge."},
    {"The FUNCTION statement",
     "FUNCTION (or MODEL) gives the model. Before the '=' stands the dependent variable, "
     "after it the expression that predicts it from the inputs and the parameters:\n\n"
     "    FUNCTION Rate = Vmax * Conc / (Km + Conc);\n\n"
     "The program runs once for every observation, so IF, WHILE, FOR and the built-in "
     "functions may compute the prediction step by step.\n\n"
     "A program without VARIABLES asks MOXEL to minimise the absolute value of the function "
     "of the parameters instead."},
    {"The DATA statement",
     "DATA tells where the observations are. With a file name, they are read from that file "
     "(the extension .dat is added when the name has none):\n\n"
     "    DATA \"michaelis\";\n\n"
     "Without a name, DATA is the last statement and the observations follow it in the "
     "program itself, one record per line:\n\n"
     "    DATA;\n"
     "    0.1  0.34\n"
     "    0.2  0.61\n\n"
     "Values in a record are separated by blanks or commas."},
    {"Running the examples",
     "Open one of the example programs with File > Open and choose Run (Alt+R). While the "
     "analysis runs, a small window shows the iteration and the residual sum of squares; "
     "Cancel stops it.\n\n"
     "When the run ends, the listing with the Final Results is shown. The View menu then "
     "shows the program, the listing, the plots, the variables and the parameters. A plot "
     "can be printed, or saved as a JPEG or BMP image with Save-plot.\n\n"
     "Messages about errors appear below the program; a double-click on a message that "
     "names a line moves the cursor to that line."},
};

}  // namespace

ProgressDialog::ProgressDialog(bool minimisation, bool sweepingRun, QWidget* parent)
    : QDialog(parent), iteration(new QLabel), value(new QLabel), sweepStep(new QLabel),
      cancel(new QPushButton(QStringLiteral("Cancel"))), sweeping(sweepingRun)
{
    setWindowTitle(QStringLiteral("Performing analysis..."));
    setModal(false);
    QGridLayout* grid = new QGridLayout(this);
    grid->addWidget(new QLabel(QStringLiteral("Iteration:")), 0, 0);
    grid->addWidget(iteration, 0, 1);
    grid->addWidget(new QLabel(minimisation ? QStringLiteral("Absolute value:") : QStringLiteral("Residual SS:")),
                    1, 0);
    grid->addWidget(value, 1, 1);
    grid->addWidget(new QLabel(sweeping ? QStringLiteral("Sweep step:") : QString()), 2, 0);
    grid->addWidget(sweepStep, 2, 1);
    if (sweeping)
        sweepStep->setText(QStringLiteral("0"));
    value->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("-9.99999e+999  ")));
    grid->addWidget(cancel, 3, 0, 1, 2, Qt::AlignCenter);
}

bool ProgressDialog::refresh()
{
    // The flag is cleared before the values are read: values newer than the flag are
    // shown at the next tick at the latest.
    if (!progressChanged.exchange(false, std::memory_order_relaxed))
        return false;
    iteration->setText(QString::number(progressIteration.load(std::memory_order_relaxed)));
    value->setText(formatValue("%13.5le", progressSumSquares.load(std::memory_order_relaxed)).trimmed());
    if (sweeping)
        sweepStep->setText(QString::number(progressSweepStep.load(std::memory_order_relaxed)));
    return true;
}

QString savePlotSwitchName(const QString& name, int fileType)
{
    const qsizetype fileStart = name.lastIndexOf(QLatin1Char('/')) + 1;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= fileStart)
        return name;
    const QChar wanted = fileType == PLOT_FILE_BMP ? QLatin1Char('b') : QLatin1Char('j');
    if (dot + 1 < name.size() && name[dot + 1].toLower() == wanted)
        return name;
    return name.left(dot) + (fileType == PLOT_FILE_BMP ? QStringLiteral(".bmp") : QStringLiteral(".jpg"));
}

SavePlotDialog::SavePlotDialog(QWidget* parent)
    : QDialog(parent), nameBox(new QLineEdit), widthBox(new QLineEdit), heightBox(new QLineEdit),
      jpegButton(new QRadioButton(QStringLiteral("JPG image file"))),
      bmpButton(new QRadioButton(QStringLiteral("BMP image file"))),
      coloursButton(new QPushButton(QStringLiteral("Set colors"))), fileType(PLOT_FILE_JPEG)
{
    setWindowTitle(QStringLiteral("Write plot image to disk file"));
    const PlotFileSettings stored = exportReadSettings();
    nameBox->setText(QString::fromStdString(stored.fileName));
    nameBox->setMinimumWidth(fontMetrics().averageCharWidth() * 50);
    nameBox->setMaxLength(399);
    widthBox->setText(QString::number(stored.width));
    heightBox->setText(QString::number(stored.height));
    fileType = stored.fileType == PLOT_FILE_BMP ? PLOT_FILE_BMP : PLOT_FILE_JPEG;
    (fileType == PLOT_FILE_BMP ? bmpButton : jpegButton)->setChecked(true);
    connect(jpegButton, &QRadioButton::clicked, this, [this] { chooseType(PLOT_FILE_JPEG); });
    connect(bmpButton, &QRadioButton::clicked, this, [this] { chooseType(PLOT_FILE_BMP); });

    QGridLayout* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("File name:")), 0, 0);
    grid->addWidget(nameBox, 0, 1, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("Width (pixels):")), 1, 0);
    grid->addWidget(widthBox, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Height (pixels):")), 1, 2);
    grid->addWidget(heightBox, 1, 3);
    grid->addWidget(jpegButton, 2, 0, 1, 2);
    grid->addWidget(bmpButton, 2, 2, 1, 2);
    QDialogButtonBox* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->addButton(coloursButton, QDialogButtonBox::ActionRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &SavePlotDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SavePlotDialog::reject);
    connect(coloursButton, &QPushButton::clicked, this, [this] {
        ColourDialog dialog(COLOURS_SAVED, this);
        dialog.exec();
    });
    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(buttons);
    nameBox->setFocus();
}

void SavePlotDialog::chooseType(int type)
{
    fileType = type;
    jpegButton->setChecked(type == PLOT_FILE_JPEG);
    bmpButton->setChecked(type == PLOT_FILE_BMP);
    nameBox->setText(savePlotSwitchName(nameBox->text(), type));
}

QString SavePlotDialog::fileName() const
{
    return nameBox->text();
}

bool SavePlotDialog::readBoxes(int* width, int* height, QString* message) const
{
    if (!readDecimal(widthBox, width) || !readDecimal(heightBox, height)) {
        *message = QStringLiteral("The width and the height must be whole numbers of pixels.");
        return false;
    }
    return true;
}

void SavePlotDialog::accept()
{
    int width = 0;
    int height = 0;
    QString message;
    if (!readBoxes(&width, &height, &message)) {
        QMessageBox::warning(this, windowTitle(), message);
        return;
    }
    PlotFileSettings chosen;
    chosen.fileType = fileType;
    chosen.width = width;
    chosen.height = height;
    chosen.fileName = fileName().toStdString();
    exportStoreSettings(chosen);
    QDialog::accept();
}

ColourDialog::ColourDialog(int colourSet, QWidget* parent)
    : QDialog(parent), colourButton(new QRadioButton(QStringLiteral("Color"))),
      monochromeButton(new QRadioButton(QStringLiteral("Monochrome"))),
      blackButton(new QRadioButton(QStringLiteral("Black background"))),
      whiteButton(new QRadioButton(QStringLiteral("White background"))), set(colourSet)
{
    const QString setName = QString::fromLatin1(colourSetNames[set]);
    setWindowTitle(QStringLiteral("%1 color selection").arg(setName));
    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Select colors for a %1").arg(setName)));
    QGridLayout* grid = new QGridLayout;
    const QStringList headings = {QString(), QStringLiteral("Red"), QStringLiteral("Green"), QStringLiteral("Blue"),
                                  QStringLiteral("Width")};
    for (int c = 0; c < headings.size(); ++c)
        grid->addWidget(new QLabel(headings[c]), 0, c);
    for (int slot = 0; slot < COLOUR_ROW_COUNT; ++slot) {
        grid->addWidget(new QLabel(QString::fromLatin1(colourSlotNames[slot])), slot + 1, 0);
        QLineEdit** boxes[] = {red, green, blue, width};
        for (int b = 0; b < 4; ++b) {
            QLineEdit* box = new QLineEdit;
            box->setMaximumWidth(fontMetrics().averageCharWidth() * 6);
            boxes[b][slot] = box;
            grid->addWidget(box, slot + 1, b + 1);
        }
        width[slot]->setEnabled(slot >= WIDTH_BOX_FIRST_SLOT);
        QPushButton* select = new QPushButton(QStringLiteral("Select"));
        connect(select, &QPushButton::clicked, this, [this, slot] { chooseColour(slot); });
        grid->addWidget(select, slot + 1, 5);
    }
    layout->addLayout(grid);
    loadEntries(plotColours.entry[set]);

    QHBoxLayout* tables = new QHBoxLayout;
    QGroupBox* kind = new QGroupBox;
    QVBoxLayout* kindLayout = new QVBoxLayout(kind);
    kindLayout->addWidget(colourButton);
    kindLayout->addWidget(monochromeButton);
    QGroupBox* ground = new QGroupBox;
    QVBoxLayout* groundLayout = new QVBoxLayout(ground);
    groundLayout->addWidget(blackButton);
    groundLayout->addWidget(whiteButton);
    colourButton->setChecked(true);
    blackButton->setChecked(true);
    QPushButton* standard = new QPushButton(QStringLiteral("Set standard colors"));
    connect(standard, &QPushButton::clicked, this, &ColourDialog::setStandardColours);
    tables->addWidget(kind);
    tables->addWidget(ground);
    tables->addWidget(standard);
    layout->addLayout(tables);
    QDialogButtonBox* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &ColourDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &ColourDialog::reject);
    layout->addWidget(buttons);
}

void ColourDialog::loadEntries(const unsigned* entries)
{
    for (int slot = 0; slot < COLOUR_ROW_COUNT; ++slot) {
        red[slot]->setText(QString::number(colourRed(entries[slot])));
        green[slot]->setText(QString::number(colourGreen(entries[slot])));
        blue[slot]->setText(QString::number(colourBlue(entries[slot])));
        width[slot]->setText(QString::number(colourWidth(entries[slot])));
    }
}

void ColourDialog::setStandardColours()
{
    const bool mono = monochromeButton->isChecked();
    const bool white = whiteButton->isChecked();
    const int table = mono ? (white ? TABLE_MONO_ON_WHITE : TABLE_MONO_ON_BLACK)
                           : (white ? TABLE_COLOUR_ON_WHITE : TABLE_COLOUR_ON_BLACK);
    unsigned entries[COLOUR_ROW_COUNT];
    for (int slot = 0; slot < COLOUR_ROW_COUNT; ++slot)
        entries[slot] = colourStandard(table, slot);
    loadEntries(entries);
}

void ColourDialog::chooseColour(int slot)
{
    int r = 0;
    int g = 0;
    int b = 0;
    readDecimal(red[slot], &r);
    readDecimal(green[slot], &g);
    readDecimal(blue[slot], &b);
    const QColor chosen = QColorDialog::getColor(QColor::fromRgb(qBound(0, r, 255), qBound(0, g, 255), qBound(0, b, 255)),
                                                 this, QString::fromLatin1(colourSlotNames[slot]));
    if (!chosen.isValid())
        return;
    red[slot]->setText(QString::number(chosen.red()));
    green[slot]->setText(QString::number(chosen.green()));
    blue[slot]->setText(QString::number(chosen.blue()));
}

bool ColourDialog::readBoxes(unsigned* entries, QString* message) const
{
    for (int slot = 0; slot < COLOUR_ROW_COUNT; ++slot) {
        int r = 0;
        int g = 0;
        int b = 0;
        int w = 0;
        const bool numbers = readDecimal(red[slot], &r) && readDecimal(green[slot], &g) &&
                             readDecimal(blue[slot], &b) && readDecimal(width[slot], &w);
        if (!numbers || !colourValuesValid(r, g, b, w)) {
            *message = QStringLiteral("%1 the colour values must be whole numbers from 0 to 255, and the width "
                                      "from 0 to %2.")
                           .arg(QString::fromLatin1(colourSlotNames[slot]))
                           .arg(PEN_WIDTH_MAX);
            return false;
        }
        entries[slot] = colourEntry(w, r, g, b);
    }
    return true;
}

void ColourDialog::accept()
{
    unsigned entries[COLOUR_ROW_COUNT];
    QString message;
    if (!readBoxes(entries, &message)) {
        QMessageBox::warning(this, windowTitle(), message);
        return;
    }
    bool changed = false;
    for (int slot = 0; slot < COLOUR_ROW_COUNT; ++slot)
        changed = changed || entries[slot] != plotColours.entry[set][slot];
    if (changed) {
        for (int slot = 0; slot < COLOUR_ROW_COUNT; ++slot)
            plotColours.entry[set][slot] = entries[slot];
        colourSetStore(set);
    }
    QDialog::accept();
}

MemoryBlockDialog::MemoryBlockDialog(QWidget* parent) : QDialog(parent), list(new QListWidget)
{
    setWindowTitle(QStringLiteral("Memory Block Types"));
    for (const std::string& line : memFormatGroups())
        list->addItem(QString::fromStdString(line));
    list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QDialogButtonBox* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->addWidget(list);
    layout->addWidget(buttons);
}

QStringList MemoryBlockDialog::lines() const
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->item(i)->text();
    return texts;
}

bool dialogsOfferTutorial(QWidget* parent)
{
    QMessageBox box(parent);
    box.setWindowTitle(QStringLiteral("Introductory tutorial for MOXEL"));
    box.setText(QStringLiteral("This seems to be the first time MOXEL is started.\n"
                               "A short tutorial introduces the statement language."));
    QPushButton* show = box.addButton(QStringLiteral("Show the tutorial"), QMessageBox::AcceptRole);
    box.addButton(QStringLiteral("Don't show the tutorial"), QMessageBox::RejectRole);
    box.setDefaultButton(show);
    box.exec();
    return box.clickedButton() == show;
}

QWizard* dialogsMakeTutorial(QWidget* parent)
{
    QWizard* wizard = new QWizard(parent);
    wizard->setWindowTitle(QStringLiteral("Introductory tutorial"));
    wizard->setAttribute(Qt::WA_DeleteOnClose);
    for (const TutorialPage& content : tutorialPages) {
        QWizardPage* page = new QWizardPage;
        page->setTitle(QString::fromLatin1(content.title));
        QLabel* text = new QLabel(QString::fromLatin1(content.text));
        text->setWordWrap(true);
        text->setTextFormat(Qt::PlainText);
        QVBoxLayout* layout = new QVBoxLayout(page);
        layout->addWidget(text);
        layout->addStretch();
        wizard->addPage(page);
    }
    return wizard;
}

ManualViewer::ManualViewer(QWidget* parent)
    : QWidget(parent, Qt::Window), viewer(new QPlainTextEdit), findBox(new QLineEdit), findStatus(new QLabel)
{
    setWindowTitle(QStringLiteral("MOXEL manual"));
    setAttribute(Qt::WA_DeleteOnClose);
    viewer->setReadOnly(true);
    viewer->setLineWrapMode(QPlainTextEdit::NoWrap);
    viewer->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    QPushButton* next = new QPushButton(QStringLiteral("Find &next"));
    QPushButton* previous = new QPushButton(QStringLiteral("Find &previous"));
    QHBoxLayout* findRow = new QHBoxLayout;
    QLabel* label = new QLabel(QStringLiteral("&Find:"));
    label->setBuddy(findBox);
    findRow->addWidget(label);
    findRow->addWidget(findBox, 1);
    findRow->addWidget(next);
    findRow->addWidget(previous);
    findRow->addWidget(findStatus);
    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->addWidget(viewer, 1);
    layout->addLayout(findRow);
    connect(findBox, &QLineEdit::returnPressed, this, [this] { find(findBox->text(), false); });
    connect(next, &QPushButton::clicked, this, [this] { find(findBox->text(), false); });
    connect(previous, &QPushButton::clicked, this, [this] { find(findBox->text(), true); });
    new QShortcut(QKeySequence::Find, this, [this] {
        findBox->setFocus();
        findBox->selectAll();
    });
    new QShortcut(QKeySequence::FindNext, this, [this] { find(findBox->text(), false); });
    new QShortcut(QKeySequence::FindPrevious, this, [this] { find(findBox->text(), true); });
    resize(720, 560);
}

bool ManualViewer::load(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    viewer->setPlainText(QString::fromUtf8(file.readAll()));
    return true;
}

bool ManualViewer::find(const QString& text, bool backward)
{
    if (text.isEmpty())
        return false;
    const QTextDocument::FindFlags flags = backward ? QTextDocument::FindBackward : QTextDocument::FindFlags();
    bool found = viewer->find(text, flags);
    if (!found) {
        QTextCursor cursor = viewer->textCursor();
        cursor.movePosition(backward ? QTextCursor::End : QTextCursor::Start);
        viewer->setTextCursor(cursor);
        found = viewer->find(text, flags);
    }
    findStatus->setText(found ? QString() : QStringLiteral("Not found"));
    return found;
}

// Dialogs of the window.
#include "app/dialogs.h"

#include <cmath>

#include <QButtonGroup>
#include <QCheckBox>
#include <QColorDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QPainter>
#include <QScrollBar>
#include <QSplitter>
#include <QTextBlock>
#include <QTreeWidget>
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
#include "app/editview.h"
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
     "Open one of the example programs with File > Open and choose Run (Alt+R). The "
     "examples of an installation stand in a folder you cannot write: Run then offers to "
     "copy the program and its data into MOXEL/examples in your home folder and runs the "
     "copy. While the analysis runs, a small window shows the iteration, the residual sum "
     "of squares and the time taken; Cancel stops it.\n\n"
     "When the run ends, the listing with the Final Results is shown. The View menu then "
     "shows the program, the listing, the plots, the variables and the parameters. A plot "
     "can be printed, or saved as a JPEG or BMP image with Save-plot.\n\n"
     "Messages about errors appear below the program; a double-click on a message that "
     "names a line moves the cursor to that line."},
};

}  // namespace

ProgressDialog::ProgressDialog(bool minimisation, long steps, QWidget* parent)
    : QDialog(parent), iteration(new QLabel), value(new QLabel), sweepStep(new QLabel), elapsed(new QLabel),
      cancel(new QPushButton(QStringLiteral("Cancel"))), sweepSteps(steps)
{
    setWindowTitle(QStringLiteral("Performing analysis..."));
    setModal(false);
    clock.start();
    QGridLayout* grid = new QGridLayout(this);
    grid->addWidget(new QLabel(QStringLiteral("Iteration:")), 0, 0);
    grid->addWidget(iteration, 0, 1);
    grid->addWidget(new QLabel(minimisation ? QStringLiteral("Absolute value:") : QStringLiteral("Residual SS:")),
                    1, 0);
    grid->addWidget(value, 1, 1);
    grid->addWidget(new QLabel(sweepSteps > 0 ? QStringLiteral("Sweep step:") : QString()), 2, 0);
    grid->addWidget(sweepStep, 2, 1);
    grid->addWidget(new QLabel(QStringLiteral("Elapsed time:")), 3, 0);
    grid->addWidget(elapsed, 3, 1);
    if (sweepSteps > 0)
        sweepStep->setText(QStringLiteral("0 of %1").arg(sweepSteps));
    elapsed->setText(progressElapsedText(0));
    value->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("-9.99999e+999  ")));
    grid->addWidget(cancel, 4, 0, 1, 2, Qt::AlignCenter);
}

bool ProgressDialog::refresh()
{
    elapsed->setText(progressElapsedText(clock.elapsed()));
    // The flag is cleared before the values are read: values newer than the flag are
    // shown at the next tick at the latest.
    if (!progressChanged.exchange(false, std::memory_order_relaxed))
        return false;
    iteration->setText(QString::number(progressIteration.load(std::memory_order_relaxed)));
    value->setText(formatValue("%13.5le", progressSumSquares.load(std::memory_order_relaxed)).trimmed());
    if (sweepSteps > 0)
        sweepStep->setText(
            QStringLiteral("%1 of %2").arg(progressSweepStep.load(std::memory_order_relaxed)).arg(sweepSteps));
    return true;
}

QString ProgressDialog::sweepText() const
{
    return sweepStep->text();
}

QString ProgressDialog::elapsedText() const
{
    return elapsed->text();
}

QString progressElapsedText(qint64 milliseconds)
{
    const qint64 seconds = std::max<qint64>(0, milliseconds) / 1000;
    if (seconds < 3600)
        return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString savePlotSwitchName(const QString& name, int fileType)
{
    const qsizetype fileStart = name.lastIndexOf(QLatin1Char('/')) + 1;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= fileStart)
        return name;
    if (exportTypeOfName(name.mid(dot).toStdString()) == fileType)
        return name;
    return name.left(dot) + QLatin1String(exportExtension(fileType));
}

QString savePlotWithExtension(const QString& name, int fileType)
{
    const qsizetype fileStart = name.lastIndexOf(QLatin1Char('/')) + 1;
    if (name.isEmpty() || fileStart == name.size() || name.lastIndexOf(QLatin1Char('.')) > fileStart)
        return name;
    return name + QLatin1String(exportExtension(fileType));
}

namespace {

constexpr double MILLIMETRES_PER_INCH = 25.4;

// ORDER TYPE: the buttons of the plot file types.
constexpr const char* TYPE_BUTTON_TEXTS[PLOT_FILE_TYPE_COUNT] = {
    "JPG image file", "BMP image file", "PNG image file", "SVG drawing", "PDF document",
};
const char* const TYPE_FILTERS[PLOT_FILE_TYPE_COUNT] = {
    "JPG image file (*.jpg *.jpeg)", "BMP image file (*.bmp)", "PNG image file (*.png)", "SVG drawing (*.svg)",
    "PDF document (*.pdf)",
};

}  // namespace

SavePlotDialog::SavePlotDialog(QWidget* parent, const QString& proposedName)
    : QDialog(parent), nameBox(new QLineEdit), widthBox(new QLineEdit), heightBox(new QLineEdit),
      jpegButton(new QRadioButton(QLatin1String(TYPE_BUTTON_TEXTS[PLOT_FILE_JPEG]))),
      bmpButton(new QRadioButton(QLatin1String(TYPE_BUTTON_TEXTS[PLOT_FILE_BMP]))),
      pngButton(new QRadioButton(QLatin1String(TYPE_BUTTON_TEXTS[PLOT_FILE_PNG]))),
      svgButton(new QRadioButton(QLatin1String(TYPE_BUTTON_TEXTS[PLOT_FILE_SVG]))),
      pdfButton(new QRadioButton(QLatin1String(TYPE_BUTTON_TEXTS[PLOT_FILE_PDF]))), unitBox(new QComboBox),
      resolutionBox(new QLineEdit), coloursButton(new QPushButton(QStringLiteral("Set colors"))),
      browseButton(new QPushButton(QStringLiteral("&Browse..."))), fileType(PLOT_FILE_JPEG)
{
    setWindowTitle(QStringLiteral("Write plot image to disk file"));
    const PlotFileSettings stored = exportReadSettings();
    // Line art keeps its edges in PNG: the first save proposes it.
    const int storedType = stored.typeStored ? stored.fileType : PLOT_FILE_PNG;
    nameBox->setText(proposedName.isEmpty() ? QString::fromStdString(stored.fileName)
                                            : savePlotWithExtension(proposedName, storedType));
    nameBox->setMinimumWidth(fontMetrics().averageCharWidth() * 50);
    nameBox->setMaxLength(399);
    widthBox->setText(QString::number(stored.width));
    heightBox->setText(QString::number(stored.height));
    resolutionBox->setText(QString::number(stored.dotsPerInch));
    unitBox->addItem(QStringLiteral("pixels"));
    unitBox->addItem(QStringLiteral("millimetres"));
    connect(unitBox, &QComboBox::currentIndexChanged, this, &SavePlotDialog::switchUnits);
    fileType = storedType;
    typeButton(fileType)->setChecked(true);
    for (int type = 0; type < PLOT_FILE_TYPE_COUNT; type++)
        connect(typeButton(type), &QRadioButton::clicked, this, [this, type] { chooseType(type); });

    QGridLayout* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("File name:")), 0, 0);
    grid->addWidget(nameBox, 0, 1, 1, 3);
    grid->addWidget(browseButton, 0, 4);
    connect(browseButton, &QPushButton::clicked, this, &SavePlotDialog::browse);
    grid->addWidget(new QLabel(QStringLiteral("Width:")), 1, 0);
    grid->addWidget(widthBox, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Height:")), 1, 2);
    grid->addWidget(heightBox, 1, 3);
    grid->addWidget(unitBox, 1, 4);
    grid->addWidget(new QLabel(QStringLiteral("Resolution (dpi):")), 2, 0);
    grid->addWidget(resolutionBox, 2, 1);
    grid->addWidget(pngButton, 3, 0, 1, 2);
    grid->addWidget(svgButton, 3, 2, 1, 2);
    grid->addWidget(pdfButton, 3, 4);
    grid->addWidget(jpegButton, 4, 0, 1, 2);
    grid->addWidget(bmpButton, 4, 2, 1, 2);
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

QRadioButton* SavePlotDialog::typeButton(int type) const
{
    QRadioButton* const all[PLOT_FILE_TYPE_COUNT] = {jpegButton, bmpButton, pngButton, svgButton, pdfButton};
    return all[type >= 0 && type < PLOT_FILE_TYPE_COUNT ? type : PLOT_FILE_JPEG];
}

void SavePlotDialog::chooseType(int type)
{
    fileType = type;
    for (int other = 0; other < PLOT_FILE_TYPE_COUNT; other++)
        typeButton(other)->setChecked(other == type);
    nameBox->setText(savePlotSwitchName(nameBox->text(), type));
}

QString SavePlotDialog::fileName() const
{
    return nameBox->text();
}

int SavePlotDialog::resolution() const
{
    int dpi = 0;
    return readDecimal(resolutionBox, &dpi) && dpi > 0 && dpi <= PLOT_RESOLUTION_MAX ? dpi : 0;
}

// Writes the size boxes in the units chosen now, through the resolution.
void SavePlotDialog::switchUnits(int index)
{
    const int dpi = resolution();
    if (index == shownUnits || dpi == 0)
        return;
    for (QLineEdit* box : {widthBox, heightBox}) {
        bool ok = false;
        const double value = box->text().trimmed().toDouble(&ok);
        if (!ok)
            continue;
        box->setText(index == 1 ? QString::number(value / dpi * MILLIMETRES_PER_INCH, 'f', 1)
                                : QString::number(std::lround(value / MILLIMETRES_PER_INCH * dpi)));
    }
    shownUnits = index;
}

bool SavePlotDialog::readBoxes(int* width, int* height, QString* message) const
{
    const int dpi = resolution();
    if (dpi == 0) {
        *message = QStringLiteral("The resolution must be a whole number of dots per inch from 1 to %1.")
                       .arg(PLOT_RESOLUTION_MAX);
        return false;
    }
    if (unitBox->currentIndex() == 1) {
        bool wide = false;
        bool high = false;
        const double w = widthBox->text().trimmed().toDouble(&wide);
        const double h = heightBox->text().trimmed().toDouble(&high);
        if (!wide || !high || !(w > 0.0) || !(h > 0.0) || w > 1e5 || h > 1e5) {
            *message = QStringLiteral("The width and the height must be numbers of millimetres.");
            return false;
        }
        *width = static_cast<int>(std::lround(w / MILLIMETRES_PER_INCH * dpi));
        *height = static_cast<int>(std::lround(h / MILLIMETRES_PER_INCH * dpi));
        return true;
    }
    if (!readDecimal(widthBox, width) || !readDecimal(heightBox, height)) {
        *message = QStringLiteral("The width and the height must be whole numbers of pixels.");
        return false;
    }
    return true;
}

void SavePlotDialog::browse()
{
    QFileDialog dialog(this, QStringLiteral("Plot image file"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // The question about an existing file comes once, when the dialog is confirmed.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    QStringList filters;
    for (const char* filter : TYPE_FILTERS)
        filters.append(QLatin1String(filter));
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters[fileType]);
    const QFileInfo current(nameBox->text());
    if (!nameBox->text().isEmpty()) {
        dialog.setDirectory(current.absolutePath());
        dialog.selectFile(current.fileName());
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    // A name's own extension tells the type; without one the chosen filter does.
    const QString chosen = dialog.selectedFiles().first();
    int chosenType = std::max(0, static_cast<int>(filters.indexOf(dialog.selectedNameFilter())));
    const int named = exportTypeOfName(QFileInfo(chosen).fileName().toStdString());
    if (named >= 0 && !QFileInfo(chosen).suffix().isEmpty())
        chosenType = named;
    nameBox->setText(savePlotWithExtension(chosen, chosenType));
    chooseType(chosenType);
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
    nameBox->setText(savePlotWithExtension(nameBox->text().trimmed(), fileType));
    if (fileName().isEmpty()) {
        QMessageBox::warning(this, windowTitle(), QStringLiteral("Please give a file name for the plot image."));
        return;
    }
    const QFileInfo target(fileName());
    if (target.isDir()) {
        QMessageBox::warning(this, windowTitle(), QStringLiteral("%1 is a folder.").arg(fileName()));
        return;
    }
    if (target.exists() &&
        QMessageBox::question(this, windowTitle(),
                              QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(fileName()),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return;
    PlotFileSettings chosen;
    chosen.fileType = fileType;
    chosen.width = width;
    chosen.height = height;
    chosen.fileName = fileName().toStdString();
    chosen.dotsPerInch = resolution();
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
        QLineEdit** const boxes[] = {red, green, blue, width};
        for (int b = 0; b < 4; ++b) {
            QLineEdit* box = new QLineEdit;
            box->setMaximumWidth(fontMetrics().averageCharWidth() * 6);
            boxes[b][slot] = box;
            grid->addWidget(box, slot + 1, b + 1);
        }
        width[slot]->setEnabled(slot >= WIDTH_BOX_FIRST_SLOT);
        swatch[slot] = new QPushButton;
        swatch[slot]->setObjectName(QStringLiteral("swatch%1").arg(slot));
        swatch[slot]->setToolTip(QStringLiteral("Choose the colour"));
        swatch[slot]->setFixedSize(fontMetrics().height() * 2 + 8, fontMetrics().height() + 8);
        swatch[slot]->setIconSize(QSize(fontMetrics().height() * 2, fontMetrics().height()));
        connect(swatch[slot], &QPushButton::clicked, this, [this, slot] { chooseColour(slot); });
        for (int b = 0; b < 3; ++b)
            connect(boxes[b][slot], &QLineEdit::textChanged, this, [this, slot] { updateSwatch(slot); });
        grid->addWidget(swatch[slot], slot + 1, 5);
        QPushButton* select = new QPushButton(QStringLiteral("Select"));
        connect(select, &QPushButton::clicked, this, [this, slot] { chooseColour(slot); });
        grid->addWidget(select, slot + 1, 6);
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

QColor ColourDialog::rowColour(int slot) const
{
    int r = 0;
    int g = 0;
    int b = 0;
    readDecimal(red[slot], &r);
    readDecimal(green[slot], &g);
    readDecimal(blue[slot], &b);
    return QColor::fromRgb(qBound(0, r, 255), qBound(0, g, 255), qBound(0, b, 255));
}

void ColourDialog::updateSwatch(int slot)
{
    const QSize size = swatch[slot]->iconSize();
    QPixmap pixmap(size);
    pixmap.fill(rowColour(slot));
    QPainter painter(&pixmap);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawRect(0, 0, size.width() - 1, size.height() - 1);
    painter.end();
    swatch[slot]->setIcon(QIcon(pixmap));
}

void ColourDialog::chooseColour(int slot)
{
    const QColor chosen = QColorDialog::getColor(rowColour(slot), this, QString::fromLatin1(colourSlotNames[slot]));
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

FindDialog::FindDialog(EditView* editView, QWidget* parent)
    : QDialog(parent), findBox(new QLineEdit), replaceBox(new QLineEdit),
      matchCase(new QCheckBox(QStringLiteral("Match &case"))), wholeWords(new QCheckBox(QStringLiteral("Whole wor&ds"))),
      status(new QLabel), editor(editView), replaceLabel(new QLabel(QStringLiteral("Replace &with:"))),
      replaceButton(new QPushButton(QStringLiteral("&Replace"))),
      replaceAllButton(new QPushButton(QStringLiteral("Replace &all")))
{
    setModal(false);
    QLabel* findLabel = new QLabel(QStringLiteral("Fi&nd what:"));
    findLabel->setBuddy(findBox);
    replaceLabel->setBuddy(replaceBox);
    QPushButton* next = new QPushButton(QStringLiteral("&Find next"));
    QPushButton* previous = new QPushButton(QStringLiteral("Find &previous"));
    QPushButton* close = new QPushButton(QStringLiteral("Close"));
    next->setDefault(true);
    QGridLayout* grid = new QGridLayout(this);
    grid->addWidget(findLabel, 0, 0);
    grid->addWidget(findBox, 0, 1);
    grid->addWidget(next, 0, 2);
    grid->addWidget(replaceLabel, 1, 0);
    grid->addWidget(replaceBox, 1, 1);
    grid->addWidget(previous, 1, 2);
    grid->addWidget(matchCase, 2, 1);
    grid->addWidget(replaceButton, 2, 2);
    grid->addWidget(wholeWords, 3, 1);
    grid->addWidget(replaceAllButton, 3, 2);
    grid->addWidget(status, 4, 0, 1, 2);
    grid->addWidget(close, 4, 2);
    findBox->setMinimumWidth(fontMetrics().averageCharWidth() * 30);
    connect(next, &QPushButton::clicked, this, [this] { findNext(false); });
    connect(previous, &QPushButton::clicked, this, [this] { findNext(true); });
    connect(replaceButton, &QPushButton::clicked, this, [this] {
        status->setText(editor->replaceNext(findBox->text(), replaceBox->text(), QTextDocument::FindFlags(flags(false)))
                            ? QString()
                            : QStringLiteral("Not found"));
    });
    connect(replaceAllButton, &QPushButton::clicked, this, [this] {
        const int count = editor->replaceAll(findBox->text(), replaceBox->text(), QTextDocument::FindFlags(flags(false)));
        status->setText(count == 1 ? QStringLiteral("1 replacement") : QStringLiteral("%1 replacements").arg(count));
    });
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    setReplacing(false);
}

void FindDialog::setReplacing(bool replacing)
{
    setWindowTitle(replacing ? QStringLiteral("Replace") : QStringLiteral("Find"));
    for (QWidget* widget : {static_cast<QWidget*>(replaceLabel), static_cast<QWidget*>(replaceBox),
                            static_cast<QWidget*>(replaceButton), static_cast<QWidget*>(replaceAllButton)})
        widget->setVisible(replacing);
    status->clear();
    findBox->setFocus();
    findBox->selectAll();
    adjustSize();
}

int FindDialog::flags(bool backward) const
{
    QTextDocument::FindFlags result;
    if (backward)
        result |= QTextDocument::FindBackward;
    if (matchCase->isChecked())
        result |= QTextDocument::FindCaseSensitively;
    if (wholeWords->isChecked())
        result |= QTextDocument::FindWholeWords;
    return int(result);
}

bool FindDialog::findNext(bool backward)
{
    const bool found = editor->findText(findBox->text(), QTextDocument::FindFlags(flags(backward)));
    status->setText(found || findBox->text().isEmpty() ? QString() : QStringLiteral("Not found"));
    return found;
}

std::vector<ManualHeading> manualHeadings(const QString& text)
{
    std::vector<ManualHeading> headings;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i + 1 < lines.size(); ++i) {
        const QString title = lines[i].trimmed();
        const QString rule = lines[i + 1].trimmed();
        if (title.isEmpty() || rule.size() < 3 || rule.size() < title.size())
            continue;
        const QChar mark = rule[0];
        if ((mark != QLatin1Char('=') && mark != QLatin1Char('-')) || rule.count(mark) != rule.size())
            continue;
        headings.push_back({i, mark == QLatin1Char('=') ? 0 : 1, title});
        ++i;
    }
    return headings;
}

ManualViewer::ManualViewer(QWidget* parent)
    : QWidget(parent, Qt::Window), viewer(new QPlainTextEdit), contentsList(new QTreeWidget), findBox(new QLineEdit),
      findStatus(new QLabel)
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
    contentsList->setHeaderLabel(QStringLiteral("Contents"));
    contentsList->setRootIsDecorated(true);
    contentsList->setUniformRowHeights(true);
    connect(contentsList, &QTreeWidget::itemActivated, this,
            [this](QTreeWidgetItem* item) { showLine(item->data(0, Qt::UserRole).toInt()); });
    connect(contentsList, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem* item) { showLine(item->data(0, Qt::UserRole).toInt()); });
    QSplitter* panes = new QSplitter(Qt::Horizontal);
    panes->addWidget(contentsList);
    panes->addWidget(viewer);
    panes->setStretchFactor(1, 1);
    panes->setSizes({240, 720});
    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->addWidget(panes, 1);
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
    new QShortcut(QKeySequence::Close, this, [this] { close(); });
    new QShortcut(QKeySequence(Qt::Key_Escape), this, [this] { close(); });
    resize(980, 640);
}

bool ManualViewer::load(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QString text = QString::fromUtf8(file.readAll());
    viewer->setPlainText(text);
    contentsList->clear();
    QTreeWidgetItem* chapter = nullptr;
    for (const ManualHeading& heading : manualHeadings(text)) {
        QTreeWidgetItem* item = heading.level == 0 || !chapter ? new QTreeWidgetItem(contentsList)
                                                               : new QTreeWidgetItem(chapter);
        if (heading.level == 0)
            chapter = item;
        item->setText(0, heading.title);
        item->setData(0, Qt::UserRole, heading.line);
    }
    return true;
}

void ManualViewer::showLine(int line)
{
    const QTextBlock block = viewer->document()->findBlockByNumber(line);
    if (!block.isValid())
        return;
    // To the end first, so that the heading comes to the top rather than the bottom.
    viewer->moveCursor(QTextCursor::End);
    viewer->setTextCursor(QTextCursor(block));
    viewer->ensureCursorVisible();
    viewer->verticalScrollBar()->setValue(line);
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

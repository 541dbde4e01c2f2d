#include "convert/lame_window.h"

#include "convert/encoder_options.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>

namespace {
const char* const kBitrates[] = {"32",  "40",  "48",  "56",  "64",  "80",  "96",
                                 "112", "128", "160", "192", "224", "256", "320"};
const char* const kModes[] = {"stereo", "joint stereo", "mono"};
const char* const kOptimizations[] = {"None", "Speed", "Quality"};

// A drop-down list (no typed text) showing the given item.
template <size_t N>
QComboBox* makeCombo(QWidget* parent, const char* name, const char* const (&items)[N], const char* initial,
                     SkinLabel* caption)
{
    auto* combo = new QComboBox(parent);
    combo->setObjectName(QString::fromLatin1(name));
    for (const char* item : items)
        combo->addItem(QString::fromLatin1(item));
    combo->setCurrentText(QString::fromLatin1(initial));
    combo->setAccessibleName(caption->text().chopped(1));
    caption->setBuddy(combo);
    return combo;
}
} // namespace

lame::lame(const AppPaths& paths, QString& lameOptions, QWidget* parent)
    : UnloadableWindow(parent, Qt::Dialog), SkinForm1(this), m_paths(paths), m_lameOptions(lameOptions)
{
    readAsWindow(*this);
    setObjectName(QStringLiteral("lame"));
    setWindowTitle(QStringLiteral("MP3 Options"));

    SkinLabel1 = new SkinLabel(QStringLiteral("Bitrate (Kbit):"), this);
    SkinLabel1->setObjectName(QStringLiteral("SkinLabel1"));
    Combo1 = makeCombo(this, "Combo1", kBitrates, "128", SkinLabel1);
    SkinLabel2 = new SkinLabel(QStringLiteral("Mode:"), this);
    SkinLabel2->setObjectName(QStringLiteral("SkinLabel2"));
    Combo2 = makeCombo(this, "Combo2", kModes, "joint stereo", SkinLabel2);
    SkinLabel5 = new SkinLabel(QStringLiteral("Optimization:"), this);
    SkinLabel5->setObjectName(QStringLiteral("SkinLabel5"));
    Combo3 = makeCombo(this, "Combo3", kOptimizations, "None", SkinLabel5);
    SkinLabel3 = new SkinLabel(QStringLiteral("Current Lame Options:"), this);
    SkinLabel3->setObjectName(QStringLiteral("SkinLabel3"));
    SkinLabel4 = new SkinLabel(QString::fromLatin1(encoder_options::kDefault), this);
    SkinLabel4->setObjectName(QStringLiteral("SkinLabel4"));
    // The options shown are what screen readers read; a name would take their place.
    SkinLabel4->setAccessibleDescription(QStringLiteral("Current Lame Options"));
    SkinLabel4->setMinimumWidth(160);
    SkinButton1 = new SkinButton(QStringLiteral("Ok"), this);
    SkinButton1->setObjectName(QStringLiteral("SkinButton1"));
    SkinButton1->setDefault(true);
    SkinButton2 = new SkinButton(QStringLiteral("Cancel"), this);
    SkinButton2->setObjectName(QStringLiteral("SkinButton2"));

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(14, 14, 14, 14);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(10);
    grid->addWidget(SkinLabel1, 0, 0);
    grid->addWidget(Combo1, 0, 1);
    grid->addWidget(SkinLabel2, 1, 0);
    grid->addWidget(Combo2, 1, 1);
    grid->addWidget(SkinLabel5, 2, 0);
    grid->addWidget(Combo3, 2, 1);
    grid->addWidget(SkinLabel3, 3, 0);
    grid->addWidget(SkinLabel4, 3, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(SkinButton1);
    buttons->addWidget(SkinButton2);
    grid->addLayout(buttons, 4, 0, 1, 2);

    setTabOrder(Combo1, Combo2);
    setTabOrder(Combo2, Combo3);
    setTabOrder(Combo3, SkinButton1);
    setTabOrder(SkinButton1, SkinButton2);

    Form_Load();

    // Only the user's picks (mouse or keyboard) recompute the string; setting up the boxes does not.
    connect(Combo1, &QComboBox::activated, this, &lame::Combo1_Click);
    connect(Combo2, &QComboBox::activated, this, &lame::Combo2_Click);
    connect(Combo3, &QComboBox::activated, this, &lame::Combo3_Click);
    connect(SkinButton1, &QPushButton::clicked, this, &lame::SkinButton1_Click);
    connect(SkinButton2, &QPushButton::clicked, this, &lame::SkinButton2_Click);
}

void lame::Form_Load()
{
    // Always the green skin, whatever the main window shows.
    SkinForm1.setSkinFile(m_paths.programFile(QString::fromLatin1(skin_files::kGreen)));
    for (QWidget* control :
         {static_cast<QWidget*>(SkinLabel1), static_cast<QWidget*>(SkinLabel2), static_cast<QWidget*>(SkinLabel3),
          static_cast<QWidget*>(SkinLabel4), static_cast<QWidget*>(SkinLabel5), static_cast<QWidget*>(SkinButton1),
          static_cast<QWidget*>(SkinButton2)})
        SkinForm1.apply(control);

    // The boxes keep their designed texts, so the label may show a string they do not match until
    // the first pick.
    SkinLabel4->setText(m_lameOptions);
}

void lame::Combo1_Click()
{
    Combo3_Click();
}

void lame::Combo2_Click()
{
    Combo3_Click();
}

void lame::Combo3_Click()
{
    SkinLabel4->setText(
        encoder_options::optionString(Combo1->currentText(), Combo2->currentText(), Combo3->currentText()));
}

void lame::SkinButton1_Click()
{
    m_lameOptions = SkinLabel4->text();
    requestUnload();
}

void lame::SkinButton2_Click()
{
    requestUnload();
}

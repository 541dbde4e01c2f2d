#include "prefs/preferences.h"

#include "platform/recording_format.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {
constexpr int32_t kRates[] = {8000, 11025, 22050, 44100};
const char* const kRateEntries[] = {"8000  Hz", "11025 Hz", "22050 Hz", "44100 Hz"};
} // namespace

Preferences::Preferences(const AppPaths& paths, const Settings& settings, SharedState& state, QLabel* mainFormatLabel,
                         QWidget* parent)
    : UnloadableWindow(parent, Qt::Dialog), SkinForm1(this), m_paths(paths), m_settings(settings), m_state(state),
      m_mainFormatLabel(mainFormatLabel)
{
    readAsWindow(*this);
    setObjectName(QStringLiteral("Preferences"));
    setWindowTitle(QStringLiteral("Preferences"));

    SkinLabel1 = new SkinLabel(QStringLiteral("Sample Rate"), this);
    SkinLabel1->setObjectName(QStringLiteral("SkinLabel1"));
    Combo1 = new QComboBox(this);
    Combo1->setObjectName(QStringLiteral("Combo1"));
    for (const char* entry : kRateEntries)
        Combo1->addItem(QString::fromLatin1(entry));
    Combo1->setCurrentIndex(2);
    Combo1->setAccessibleName(QStringLiteral("Sample Rate"));
    SkinLabel1->setBuddy(Combo1);

    Frame1 = new QGroupBox(QStringLiteral("Channels"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Option1 = new QRadioButton(QStringLiteral("Mono"), Frame1);
    Option1->setObjectName(QStringLiteral("Option1"));
    Option2 = new QRadioButton(QStringLiteral("Stereo"), Frame1);
    Option2->setObjectName(QStringLiteral("Option2"));
    auto* frame1Layout = new QVBoxLayout(Frame1);
    frame1Layout->addWidget(Option1);
    frame1Layout->addWidget(Option2);

    Frame2 = new QGroupBox(QStringLiteral("Sample Bit"), this);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    Option3 = new QRadioButton(QStringLiteral("8  Bit"), Frame2);
    Option3->setObjectName(QStringLiteral("Option3"));
    Option4 = new QRadioButton(QStringLiteral("16 Bit"), Frame2);
    Option4->setObjectName(QStringLiteral("Option4"));
    auto* frame2Layout = new QVBoxLayout(Frame2);
    frame2Layout->addWidget(Option3);
    frame2Layout->addWidget(Option4);

    SkinLabel2 = new SkinLabel(QStringLiteral("Byte Rate"), this);
    SkinLabel2->setObjectName(QStringLiteral("SkinLabel2"));
    SkinPanel1 = new SkinPanel(this);
    SkinPanel1->setObjectName(QStringLiteral("SkinPanel1"));
    // The rate shown is what screen readers read; a name would take its place.
    SkinPanel1->setAccessibleDescription(QStringLiteral("Byte Rate"));
    SkinPanel1->setMinimumWidth(140);

    // What the take is saved as: encoded while it records, so that it is ready at Stop.
    SaveAsLabel = new SkinLabel(QStringLiteral("Save as"), this);
    SaveAsLabel->setObjectName(QStringLiteral("SaveAsLabel"));
    SaveAsCombo = new QComboBox(this);
    SaveAsCombo->setObjectName(QStringLiteral("SaveAsCombo"));
    for (recording_format::SaveFormat format : recording_format::kSaveFormats)
        SaveAsCombo->addItem(recording_format::saveFormatName(format));
    SaveAsCombo->setAccessibleName(QStringLiteral("Save as"));
    SaveAsLabel->setBuddy(SaveAsCombo);

    // The seconds before Record a take keeps: the source stays open while idle, in memory only.
    PreRecordLabel = new SkinLabel(QStringLiteral("&Keep the seconds before Record"), this);
    PreRecordLabel->setObjectName(QStringLiteral("PreRecordLabel"));
    PreRecordSpin = new QSpinBox(this);
    PreRecordSpin->setObjectName(QStringLiteral("PreRecordSpin"));
    PreRecordSpin->setRange(0, 30);
    PreRecordSpin->setAccessibleName(QStringLiteral("Keep the seconds before Record"));
    const QString preRecordTip =
        QStringLiteral("Above 0, the chosen source stays open while Trelvik is idle, and its last seconds are kept "
                       "in memory only: nothing is written before Record. Record then also keeps what was heard "
                       "just before it.");
    PreRecordSpin->setToolTip(preRecordTip);
    PreRecordSpin->setAccessibleDescription(preRecordTip);
    PreRecordLabel->setToolTip(preRecordTip);
    PreRecordLabel->setBuddy(PreRecordSpin);

    Check1 = new QCheckBox(QStringLiteral("Convert recording to MP3 on completion"), this);
    Check1->setObjectName(QStringLiteral("Check1"));

    SkinButton1 = new SkinButton(QStringLiteral("Ok"), this);
    SkinButton1->setObjectName(QStringLiteral("SkinButton1"));
    SkinButton2 = new SkinButton(QStringLiteral("Cancel"), this);
    SkinButton2->setObjectName(QStringLiteral("SkinButton2"));

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(14, 14, 14, 14);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(10);
    grid->addWidget(SkinLabel1, 0, 0);
    grid->addWidget(Combo1, 0, 1);
    grid->addWidget(Frame1, 1, 0);
    grid->addWidget(Frame2, 1, 1);
    grid->addWidget(SkinLabel2, 2, 0);
    grid->addWidget(SkinPanel1, 2, 1);
    grid->addWidget(SaveAsLabel, 3, 0);
    grid->addWidget(SaveAsCombo, 3, 1);
    grid->addWidget(PreRecordLabel, 4, 0);
    grid->addWidget(PreRecordSpin, 4, 1);
    grid->addWidget(Check1, 5, 0, 1, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(SkinButton1);
    buttons->addWidget(SkinButton2);
    grid->addLayout(buttons, 6, 0, 1, 2);

    setTabOrder(Combo1, Option1);
    setTabOrder(Option1, Option2);
    setTabOrder(Option2, Option3);
    setTabOrder(Option3, Option4);
    setTabOrder(Option4, SaveAsCombo);
    setTabOrder(SaveAsCombo, PreRecordSpin);
    setTabOrder(PreRecordSpin, Check1);
    setTabOrder(Check1, SkinButton1);
    setTabOrder(SkinButton1, SkinButton2);

    Form_Load();

    // Handlers run for the user's choices only; selecting the stored values at load runs none, so a
    // stored value outside the lists is kept as it is.
    connect(Combo1, &QComboBox::activated, this, &Preferences::Combo1_Click);
    connect(Option1, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            Option1_Click();
    });
    connect(Option2, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            Option2_Click();
    });
    connect(Option3, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            Option3_Click();
    });
    connect(Option4, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            Option4_Click();
    });
    connect(SkinButton1, &QPushButton::clicked, this, &Preferences::SkinButton1_Click);
    connect(SkinButton2, &QPushButton::clicked, this, &Preferences::SkinButton2_Click);
}

void Preferences::Form_Load()
{
    SkinForm1.setSkinFile(m_paths.programFile(QString::fromLatin1(skin_files::kGreen)));
    for (QWidget* control :
         {static_cast<QWidget*>(SkinLabel1), static_cast<QWidget*>(SkinLabel2), static_cast<QWidget*>(SaveAsLabel),
          static_cast<QWidget*>(PreRecordLabel), static_cast<QWidget*>(SkinPanel1), static_cast<QWidget*>(SkinButton1),
          static_cast<QWidget*>(SkinButton2)})
        SkinForm1.apply(control);

    // The stored format: choices left by a Cancel are not what the next recording holds.
    const Settings::Format stored = m_settings.format();
    m_state.Channels = stored.channels;
    m_state.BitsPerSample = stored.bitsPerSample;
    m_state.SamplesPerSec = stored.samplesPerSec;

    Check1->setChecked(m_state.ConvertOnCompletion == 1);
    SaveAsCombo->setCurrentText(recording_format::saveFormatName(m_settings.saveFormat()));
    PreRecordSpin->setValue(m_settings.preRecordSeconds());
    (m_state.Channels == 1 ? Option1 : Option2)->setChecked(true);
    (m_state.BitsPerSample == 8 ? Option3 : Option4)->setChecked(true);
    for (int i = 0; i < 4; ++i) {
        if (m_state.SamplesPerSec == kRates[i]) {
            Combo1->setCurrentIndex(i);
            break;
        }
    }
    room();
}

float Preferences::room()
{
    const float rate =
        recording_format::megabytesPerMinute(m_state.SamplesPerSec, m_state.Channels, m_state.BitsPerSample);
    SkinPanel1->setText(recording_format::dataRateText(rate));
    return rate;
}

void Preferences::Combo1_Click()
{
    const QString text = Combo1->currentText();
    for (int i = 0; i < 4; ++i) {
        if (text == QLatin1String(kRateEntries[i])) {
            m_state.SamplesPerSec = kRates[i];
            break;
        }
    }
    room();
}

void Preferences::Option1_Click()
{
    m_state.Channels = 1;
    room();
}

void Preferences::Option2_Click()
{
    m_state.Channels = 2;
    room();
}

void Preferences::Option3_Click()
{
    m_state.BitsPerSample = 8;
    room();
}

void Preferences::Option4_Click()
{
    m_state.BitsPerSample = 16;
    room();
}

void Preferences::SkinButton1_Click()
{
    m_state.ConvertOnCompletion = Check1->isChecked() ? 1 : 0;
    m_settings.setFormat({m_state.Channels, m_state.BitsPerSample, m_state.SamplesPerSec});
    // Stored once chosen: a settings file that never had the key keeps meaning WAV without it.
    const recording_format::SaveFormat saveAs = recording_format::saveFormatNamed(SaveAsCombo->currentText());
    if (saveAs != m_settings.saveFormat())
        m_settings.setSaveFormat(saveAs);
    // Likewise stored once changed, and the owner hears of it: the source opens or closes.
    const int preRecord = PreRecordSpin->value();
    const bool preRecordChanges = preRecord != m_settings.preRecordSeconds();
    if (preRecordChanges)
        m_settings.setPreRecordSeconds(preRecord);
    if (m_mainFormatLabel)
        m_mainFormatLabel->setText(recording_format::formatLabelText(m_state.SamplesPerSec, m_state.BitsPerSample));
    if (preRecordChanges)
        emit preRecordChanged(preRecord);
    requestUnload();
}

void Preferences::SkinButton2_Click()
{
    requestUnload();
}

#include "setup/form2.h"

#include "library/chime.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QPointer>
#include <QVBoxLayout>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace {
const QString kM0 = QStringLiteral("Program is preparing to configure your sound card settings.");
const QString kM3 =
    QStringLiteral("Press Next button, you should hear the same TEST chime AGAIN or you will not hear any voice.");
const QString kM4 = QStringLiteral(
    "Have you heard the TEST chime AGAIN? If you haven't heard any voice, press NEXT button to continue.");
const QString kM5 = QStringLiteral("Your sound card cannot support recording function.");
const QString kM6 = QStringLiteral("Sound card settings Completed,the information has be saved!");

// How often the wizard looks whether a sound has played out.
constexpr int kPlayerPollMs = 50;

// Seconds a wave file plays; 0 when it cannot be read.
double playingSeconds(const QString& path)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return 0;
    sf_close(file);
    return info.samplerate > 0 ? double(info.frames) / info.samplerate : 0;
}

// The loudest sample of a wave file between two times, as a fraction of full scale; empty when the
// file cannot be read.
std::optional<double> peakOf(const QString& path, double fromSeconds, double toSeconds)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return std::nullopt;
    const auto first = sf_count_t(std::max(0.0, fromSeconds) * info.samplerate);
    const auto last = sf_count_t(std::min(toSeconds * info.samplerate, double(info.frames)));
    if (first > 0)
        sf_seek(file, first, SEEK_SET);
    double peak = 0;
    std::vector<float> block(4096 * size_t(std::max(1, info.channels)));
    for (sf_count_t at = first; at < last;) {
        const sf_count_t wanted = std::min<sf_count_t>(4096, last - at);
        const sf_count_t got = sf_readf_float(file, block.data(), wanted);
        if (got <= 0)
            break;
        for (size_t i = 0; i < size_t(got) * size_t(info.channels); ++i)
            peak = std::max(peak, double(std::fabs(block[i])));
        at += got;
    }
    sf_close(file);
    return peak;
}

// The figure the chime check adds: the chime's peak when it was found, else the recording's.
QString peakFigure(const QString& path, const ChimeCheck& check)
{
    const std::optional<double> peak = check.found
                                           ? peakOf(path, check.startSeconds, check.startSeconds + chime::totalSeconds)
                                           : peakOf(path, 0, std::numeric_limits<double>::infinity());
    if (!peak)
        return {};
    const QString what = check.found ? QStringLiteral("Chime peak") : QStringLiteral("Peak of the recording");
    if (*peak <= 0)
        return QStringLiteral(" %1: silence, every sample is zero.").arg(what);
    return QStringLiteral(" %1: %2 dBFS.").arg(what, QString::number(20 * std::log10(*peak), 'f', 1));
}
} // namespace

QString Form2::M1(int32_t sourceCount)
{
    return QStringLiteral("Program has detected   ") + QString::number(sourceCount) +
           QStringLiteral("   usable recording sources.");
}

QString Form2::M2(int16_t testNumber)
{
    return QStringLiteral("Program will test NO.") + QString::number(testNumber) +
           QStringLiteral(" recording source. Press the NEXT button, You will hear the TEST chime.");
}

Form2::Form2(const AppPaths& paths, Platform& platform, const Settings& settings, Recorder& recorder, WizardHost& host,
             QWidget* parent)
    : QWidget(parent, Qt::Window), SkinForm1(this), m_paths(paths), m_platform(platform), m_settings(settings),
      m_recorder(recorder), m_host(host),
      m_scratch(QDir::temp().filePath(QStringLiteral("trelvik-test-%1.wav").arg(QCoreApplication::applicationPid())))
{
    readAsWindow(*this);
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Sound Card Setting"));

    SkinLabel1 = new SkinLabel(kM0, this);
    SkinLabel1->setObjectName(QStringLiteral("SkinLabel1"));
    SkinLabel1->setWordWrap(true);
    SkinLabel1->setMinimumSize(380, 80);
    SkinLabel1->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    ChimeLabel = new QLabel(this);
    ChimeLabel->setObjectName(QStringLiteral("ChimeLabel"));
    ChimeLabel->setWordWrap(true);
    ChimeLabel->setStyleSheet(QStringLiteral("QLabel { color: #ffe680; background: transparent; }"));
    ChimeLabel->hide();

    SkinButton1 = new SkinButton(QStringLiteral("next"), this);
    SkinButton1->setObjectName(QStringLiteral("SkinButton1"));
    SkinButton2 = new SkinButton(QStringLiteral("heard"), this);
    SkinButton2->setObjectName(QStringLiteral("SkinButton2"));
    SkinButton2->hide();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->addWidget(SkinLabel1);
    layout->addWidget(ChimeLabel);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(SkinButton2);
    buttons->addWidget(SkinButton1);
    layout->addLayout(buttons);

    m_playerPoll.setInterval(kPlayerPollMs);
    connect(&m_playerPoll, &QTimer::timeout, this, &Form2::pollPlayer);
    connect(&m_recorder, &Recorder::testRunning, this, &Form2::playChime);
    connect(&m_recorder, &Recorder::testSaved, this, &Form2::testSaved);

    Form_Load();
    connect(SkinButton1, &QPushButton::clicked, this, &Form2::SkinButton1_Click);
    connect(SkinButton2, &QPushButton::clicked, this, &Form2::SkinButton2_Click);
}

Form2::~Form2()
{
    removeScratch();
}

void Form2::Form_Load()
{
    SkinForm1.setSkinFile(m_paths.programFile(QString::fromLatin1(skin_files::kGreen)));
    SkinForm1.apply(SkinLabel1);
    SkinForm1.apply(SkinButton1);
    SkinForm1.apply(SkinButton2);
}

void Form2::SkinButton1_Click()
{
    SkinButton2->hide();
    switch (m_step) {
    case Step::Start:
        // Counted from the sound server's list: a press that comes before the list waits for it.
        SkinButton1->setEnabled(false);
        m_step = Step::Counting;
        m_recorder.whenSourcesKnown([self = QPointer<Form2>(this)] {
            if (!self || self->m_step != Step::Counting)
                return;
            self->SourceCount = self->m_recorder.sourceCount();
            self->SkinLabel1->setText(M1(self->SourceCount));
            ++self->TestNumber;
            self->m_step = Step::Counted;
            self->enableNext();
            self->endWhenNoneLeft();
        });
        return;
    case Step::Counted:
        SkinLabel1->setText(M2(TestNumber));
        m_step = Step::Announced;
        break;
    case Step::Announced:
        testSource();
        break;
    case Step::Recorded:
        SkinButton1->setEnabled(false);
        m_step = Step::PlayingBack;
        playThen(m_scratch, &Form2::playedBack);
        break;
    case Step::Asked:
        ++TestNumber;
        SkinLabel1->setText(M2(TestNumber));
        ChimeLabel->hide();
        m_step = Step::Announced;
        break;
    case Step::NoneLeft:
        removeScratch();
        SkinButton1->setEnabled(false);
        break;
    case Step::Counting:
    case Step::Recording:
    case Step::Saving:
    case Step::PlayingBack:
        return; // the button is disabled while these run
    }
    endWhenNoneLeft();
}

// Past the last source: the wizard says that none delivered, and Next only tidies up.
void Form2::endWhenNoneLeft()
{
    if (TestNumber != int64_t(SourceCount) + 1)
        return;
    SkinLabel1->setText(kM5);
    ChimeLabel->hide();
    m_step = Step::NoneLeft;
}

void Form2::testSource()
{
    SkinButton1->setEnabled(false);
    // Each source's test goes to the same scratch file; a recording never replaces a file.
    removeScratch();
    // A source unplugged since the sources were counted, or a sound server gone meanwhile: the
    // test would record some other source while saying it tests this one.
    m_testedName = m_recorder.sourceName(TestNumber - 1);
    if (m_testedName.isEmpty()) {
        ChimeLabel->setText(
            QStringLiteral("The sound server does not list this source now, so it was not tested. Next goes on."));
        ChimeLabel->show();
        m_step = Step::Asked;
        enableNext();
        return;
    }
    if (!m_recorder.startTest(TestNumber - 1, m_scratch)) {
        // A recording started from the main window runs on; the test waits for its Stop.
        ChimeLabel->setText(QStringLiteral("A recording is running: stop it (F11) before this source is tested."));
        ChimeLabel->show();
        enableNext();
        return;
    }
    m_step = Step::Recording;
    // The chime waits until the test recording runs: on a busy machine the stream can take longer
    // to start than the chime to sound, and a recording that missed the first tone would not find it.
    if (!m_recorder.testStarting())
        playChime();
}

void Form2::playChime()
{
    if (m_step != Step::Recording || m_closing || !m_playing.isEmpty())
        return;
    playThen(m_paths.programFile(QStringLiteral("test.wav")), &Form2::chimePlayed);
}

void Form2::playThen(const QString& path, void (Form2::*done)())
{
    m_afterPlay = done;
    m_playing = path;
    Player* player = m_platform.player.get();
    if (!player || !player->play(path).isEmpty()) {
        // Nothing plays: the step goes on at once, and what the recording holds tells the rest.
        m_playing.clear();
        QTimer::singleShot(0, this, done);
        return;
    }
    // A sound server that stops taking the sound cannot hold the wizard for ever.
    m_playDeadline = QDateTime::currentMSecsSinceEpoch() + qint64((playingSeconds(path) + 3) * 1000);
    m_playerPoll.start();
}

void Form2::pollPlayer()
{
    Player* player = m_platform.player.get();
    if (player && player->state(m_playing) == Player::State::Playing &&
        QDateTime::currentMSecsSinceEpoch() < m_playDeadline)
        return;
    m_playerPoll.stop();
    if (player)
        player->close(m_playing);
    m_playing.clear();
    if (m_afterPlay)
        (this->*m_afterPlay)();
}

void Form2::chimePlayed()
{
    if (m_step != Step::Recording)
        return;
    m_step = Step::Saving;
    m_recorder.finishTest(m_scratch);
}

void Form2::testSaved(bool)
{
    if (m_step != Step::Saving)
        return;
    if (m_closing) {
        removeScratch();
        return;
    }
    showCheck();
    enableNext();
    SkinLabel1->setText(kM3);
    m_step = Step::Recorded;
}

void Form2::showCheck()
{
    // The user decides, but a measurement shows at once whether this source heard anything.
    const ChimeCheck check = findChime(m_scratch);
    if (!check.readable)
        ChimeLabel->setText(QStringLiteral("The test recording could not be read: this source delivered nothing."));
    else if (check.found)
        ChimeLabel->setText(QStringLiteral("The chime was found in the test recording of this source."));
    else if (check.peakLevel < 0.01)
        ChimeLabel->setText(QStringLiteral("The test recording of this source is silent: the chime was not found."));
    else
        ChimeLabel->setText(QStringLiteral("This source recorded sound, but not the chime."));
    if (check.readable)
        ChimeLabel->setText(ChimeLabel->text() + peakFigure(m_scratch, check));
    ChimeLabel->show();
}

void Form2::playedBack()
{
    SkinLabel1->setText(kM4);
    m_step = Step::Asked;
    enableNext();
    SkinButton2->show();
}

void Form2::enableNext()
{
    // Disabling the button took the keyboard focus away from it; it goes back, so the user can
    // go on with the keyboard.
    SkinButton1->setEnabled(true);
    if (isActiveWindow())
        SkinButton1->setFocus();
}

void Form2::SkinButton2_Click()
{
    if (SkinButton2->text() == u"heard") {
        SkinButton2->setText(QStringLiteral("Done"));
        SkinButton1->hide();
        m_settings.storeWizardChoice(TestNumber, m_testedName, m_paths.defaultRecording());
        SkinLabel1->setText(kM6);
        ChimeLabel->hide();
        removeScratch();
        return;
    }
    m_host.wizardDone(TestNumber);
}

void Form2::removeScratch()
{
    QFile::remove(m_scratch);
}

void Form2::Form_QueryUnload()
{
    m_host.requestClose();
}

void Form2::closeEvent(QCloseEvent* event)
{
    // A chime or a playback stops; a test recording under way ends, and its file goes.
    m_closing = true;
    if (m_playerPoll.isActive()) {
        m_playerPoll.stop();
        if (Player* player = m_platform.player.get())
            player->close(m_playing);
        m_playing.clear();
    }
    // Also while the test recording is still starting, before the chime.
    if (m_step == Step::Recording)
        chimePlayed();
    removeScratch();
    Form_QueryUnload();
    event->accept();
}

void Form2::unload()
{
    close();
}

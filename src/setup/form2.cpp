#include "setup/form2.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QVBoxLayout>

namespace {
const char* const kM0 = "Program is preparing to configure your sound card settings.";
} // namespace

Form2::Form2(const AppPaths& paths, WizardHost& host, QWidget* parent)
    : QWidget(parent, Qt::Window), SkinForm1(this), m_paths(paths), m_host(host)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Sound Card Setting"));

    SkinLabel1 = new SkinLabel(QString::fromLatin1(kM0), this);
    SkinLabel1->setObjectName(QStringLiteral("SkinLabel1"));
    SkinLabel1->setWordWrap(true);
    SkinLabel1->setMinimumSize(360, 80);
    SkinLabel1->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    SkinButton1 = new SkinButton(QStringLiteral("next"), this);
    SkinButton1->setObjectName(QStringLiteral("SkinButton1"));
    SkinButton2 = new SkinButton(QStringLiteral("heard"), this);
    SkinButton2->setObjectName(QStringLiteral("SkinButton2"));
    SkinButton2->hide();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->addWidget(SkinLabel1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(SkinButton2);
    buttons->addWidget(SkinButton1);
    layout->addLayout(buttons);

    Form_Load();
}

void Form2::Form_Load()
{
    SkinForm1.setSkinFile(m_paths.programFile(QString::fromLatin1(skin_files::kGreen)));
    SkinForm1.apply(SkinLabel1);
    SkinForm1.apply(SkinButton1);
    SkinForm1.apply(SkinButton2);
}

void Form2::Form_QueryUnload()
{
    m_host.requestClose();
}

void Form2::closeEvent(QCloseEvent* event)
{
    Form_QueryUnload();
    event->accept();
}

void Form2::unload()
{
    close();
}

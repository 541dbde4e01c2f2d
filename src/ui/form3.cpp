#include "ui/form3.h"

#include "platform/desktop.h"
#include "ui/skinned_widgets.h"
#include "ui/twips.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>

Form3::Form3(Desktop& desktop, QWidget* parent) : UnloadableWindow(parent, Qt::Dialog), m_desktop(desktop)
{
    readAsWindow(*this);
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("Location"));
    setFont(timesNewRoman(9.75));

    Label1 = new QLabel(QStringLiteral("Enter an Internet location to open here:"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    twips::place(Label1, 240, 120, 3855, 255);
    Label2 = new QLabel(QStringLiteral("For Example: ") + QLatin1String(kExampleAddress), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    twips::place(Label2, 240, 480, 4095, 255);
    Text1 = new QLineEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(twips::rect(240, 840, 3975, 285));
    Text1->setAccessibleName(QStringLiteral("Internet location"));
    Label1->setBuddy(Text1);
    Command1 = new QPushButton(QStringLiteral("Open"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(twips::rect(240, 1200, 975, 375));
    Command2 = new QPushButton(QStringLiteral("Cancel"), this);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setGeometry(twips::rect(1440, 1200, 975, 375));
    // Enter in the box does not press "Open" and Escape does not press "Cancel".
    for (QPushButton* button : {Command1, Command2}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    setTabOrder(Text1, Command1);
    setTabOrder(Command1, Command2);
    twips::fixSize(this, 4560, 1815);

    connect(Command1, &QPushButton::clicked, this, &Form3::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form3::Command2_Click);
}

void Form3::Command1_Click()
{
    // Blanks alone count as an address and are handed on as they are.
    const QString location = Text1->text();
    if (!location.isEmpty())
        play(location);
    requestUnload();
}

void Form3::Command2_Click()
{
    requestUnload();
}

void Form3::play(const QString& location)
{
    // The player's result is not looked at: a missing player leaves the window to close quietly.
    // Without a player of the user's choice the desktop's opener plays the location.
    QString player = qEnvironmentVariable(kPlayerVariable);
    if (player.isEmpty())
        player = QStringLiteral("xdg-open");
    // The text reaches the player as an unquoted command line would: every run of blanks separates
    // two arguments, and blanks alone give none.
    static const QRegularExpression blanks(QStringLiteral("[ \t]+"));
    m_desktop.startDetached(player, location.split(blanks, Qt::SkipEmptyParts));
}

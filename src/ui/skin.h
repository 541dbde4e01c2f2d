#pragma once

#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>

// A window's skin object. A ".skn" file holds Qt style-sheet text; loading it gives the window its
// look, and applying the skin to a control gives that control the same style sheet. Skinned controls
// stay standard widgets, so assistive technology sees each one by its caption.
class SkinForm {
public:
    explicit SkinForm(QWidget* window) : m_window(window) {}

    // Loads the file and gives the window its look. A missing or unreadable file leaves the window in
    // the toolkit's own look; nothing is reported.
    void setSkinFile(const QString& path);
    const QString& skinFile() const { return m_path; }
    const QString& styleSheet() const { return m_text; }

    // The control takes its look from the skin currently loaded.
    void apply(QWidget* control) const;
    // The control takes the skin now and every skin loaded later, as it is loaded.
    void follow(QWidget* control);

private:
    QWidget* m_window;
    QString m_path;
    QString m_text;
    QList<QPointer<QWidget>> m_followers;
};

// The skin literals, joined to the program's folder.
namespace skin_files {
inline constexpr const char* kGreen = "skin/green.skn";
inline constexpr const char* kRed = "skin/red.skn";
inline constexpr const char* kBlue = "skin/blue.skn";
} // namespace skin_files

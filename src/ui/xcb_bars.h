// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>

#include <array>
#include <cstdint>
#include <memory>

class QWidget;
struct xcb_connection_t;

// Draws a widget's changing parts straight onto its window on X11, from pictures the X server
// keeps: each change is a few copies and fills, without painting through the toolkit and sending
// the painted pixels to the server again. The toolkit's own copy of the window does not see these
// changes; the widget repaints through the toolkit whenever that copy may be shown (an expose).
//
// Only for a window whose pixels are 32-bit true colour in the order a QImage of
// QImage::Format_RGB32 holds them, at one device pixel per pixel: elsewhere (Wayland, another
// visual) forWidget gives nothing, and the widget paints as usual.
class XcbBars {
public:
    // The pictures a widget draws from, each the widget's size.
    static constexpr int pictureCount = 3;

    // A painter for the window the widget shows in, or null where it cannot draw directly. Asks the
    // server about the window once: call it when the window is on screen, not while it starts.
    static std::unique_ptr<XcbBars> forWidget(const QWidget& widget);
    ~XcbBars();
    XcbBars(const XcbBars&) = delete;
    XcbBars& operator=(const XcbBars&) = delete;

    // Hands the pictures to the server, replacing those it had; `key` names them, so that the same
    // ones are not sent twice. False when the server could not take them.
    bool setPictures(const std::array<QImage, pictureCount>& pictures, qint64 key);
    qint64 picturesKey() const { return m_key; }
    // The window it draws on.
    uint32_t window() const { return m_window; }
    // Where the widget's (0, 0) lies in its window, and the part of the widget that shows, in the
    // widget's coordinates: nothing is drawn outside it.
    void place(QPoint origin, QRect visible);
    // Copies part of a picture to the same place in the widget.
    void copy(int picture, const QRect& part);
    // Fills part of the widget with one colour.
    void fill(const QRect& part, QColor colour);
    // Sends what was drawn to the server.
    void flush();

private:
    XcbBars(xcb_connection_t* connection, uint32_t window, uint8_t depth);
    void freePictures();

    xcb_connection_t* m_connection = nullptr;
    uint32_t m_window = 0;
    uint8_t m_depth = 0;
    uint32_t m_gc = 0;
    std::array<uint32_t, pictureCount> m_pixmaps{};
    qint64 m_key = 0;
    bool m_hasPictures = false;
    bool m_placed = false;
    QPoint m_origin;
    QRect m_visible;
    uint32_t m_foreground = 0;
};

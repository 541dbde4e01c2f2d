// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/xcb_bars.h"

#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>

namespace {

// Frees a reply that xcb allocated, however the function that got it leaves.
struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <class Reply> using ReplyPtr = std::unique_ptr<Reply, FreeReply>;

// Whether the server stores pixels of this depth in 32 bits, least significant byte first, with red,
// green and blue where a QImage of Format_RGB32 has them on a little-endian computer.
bool holdsRgb32(xcb_connection_t* connection, uint32_t visual, uint8_t depth)
{
    if (depth != 24 && depth != 32)
        return false;
    if constexpr (Q_BYTE_ORDER != Q_LITTLE_ENDIAN)
        return false;
    const xcb_setup_t* setup = xcb_get_setup(connection);
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST)
        return false;
    bool wholeWords = false;
    for (auto format = xcb_setup_pixmap_formats_iterator(setup); format.rem > 0; xcb_format_next(&format))
        if (format.data->depth == depth)
            wholeWords = format.data->bits_per_pixel == 32 && format.data->scanline_pad == 32;
    if (!wholeWords)
        return false;
    for (auto screen = xcb_setup_roots_iterator(setup); screen.rem > 0; xcb_screen_next(&screen))
        for (auto depths = xcb_screen_allowed_depths_iterator(screen.data); depths.rem > 0; xcb_depth_next(&depths))
            for (auto type = xcb_depth_visuals_iterator(depths.data); type.rem > 0; xcb_visualtype_next(&type))
                if (type.data->visual_id == visual)
                    return depths.data->depth == depth && type.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR &&
                           type.data->red_mask == 0xff0000 && type.data->green_mask == 0xff00 &&
                           type.data->blue_mask == 0xff;
    return false;
}

} // namespace

std::unique_ptr<XcbBars> XcbBars::forWidget(const QWidget& widget)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb") || widget.devicePixelRatioF() != 1.0)
        return {};
    auto* app = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = app ? app->connection() : nullptr;
    const QWidget* top = widget.window();
    QWindow* handle = top ? top->windowHandle() : nullptr;
    if (!connection || !handle || !handle->handle())
        return {};
    const auto window = uint32_t(handle->winId());
    const auto attributesAsked = xcb_get_window_attributes(connection, window);
    const auto geometryAsked = xcb_get_geometry(connection, window);
    const ReplyPtr<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(connection, attributesAsked, nullptr));
    const ReplyPtr<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(connection, geometryAsked, nullptr));
    if (!attributes || !geometry || !holdsRgb32(connection, attributes->visual, geometry->depth))
        return {};
    return std::unique_ptr<XcbBars>(new XcbBars(connection, window, geometry->depth));
}

XcbBars::XcbBars(xcb_connection_t* connection, uint32_t window, uint8_t depth)
    : m_connection(connection), m_window(window), m_depth(depth)
{
    m_gc = xcb_generate_id(connection);
    // Copies between pictures and the window never need parts redrawn: no events for them.
    const uint32_t values[] = {0};
    xcb_create_gc(connection, m_gc, window, XCB_GC_GRAPHICS_EXPOSURES, values);
}

XcbBars::~XcbBars()
{
    // Once the application has gone, so has its connection, and the server freed everything.
    if (!qGuiApp)
        return;
    freePictures();
    xcb_free_gc(m_connection, m_gc);
    xcb_flush(m_connection);
}

void XcbBars::freePictures()
{
    if (!m_hasPictures)
        return;
    for (const uint32_t pixmap : m_pixmaps)
        xcb_free_pixmap(m_connection, pixmap);
    m_hasPictures = false;
    m_key = 0;
}

bool XcbBars::setPictures(const std::array<QImage, pictureCount>& pictures, qint64 key)
{
    freePictures();
    const QSize size = pictures[0].size();
    if (size.isEmpty() || size.width() > 0x7fff || size.height() > 0x7fff)
        return false;
    // The pictures go up in bands that fit a request; a gc of their own, without the window's clip.
    const uint32_t gc = xcb_generate_id(m_connection);
    xcb_create_gc(m_connection, gc, m_window, 0, nullptr);
    const size_t lineBytes = size_t(size.width()) * 4;
    const size_t requestBytes = size_t(xcb_get_maximum_request_length(m_connection)) * 4;
    const int band = int(std::max<size_t>(1, (requestBytes - 64) / lineBytes));
    for (size_t i = 0; i < m_pixmaps.size(); ++i) {
        const QImage picture = pictures[i].convertToFormat(QImage::Format_RGB32);
        m_pixmaps[i] = xcb_generate_id(m_connection);
        xcb_create_pixmap(m_connection, m_depth, m_pixmaps[i], m_window, uint16_t(size.width()),
                          uint16_t(size.height()));
        for (int y = 0; y < size.height(); y += band) {
            const int rows = std::min(band, size.height() - y);
            // Format_RGB32 lines are whole words: no padding between them.
            xcb_put_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, m_pixmaps[i], gc, uint16_t(size.width()),
                          uint16_t(rows), 0, int16_t(y), 0, m_depth, uint32_t(lineBytes * size_t(rows)),
                          picture.constScanLine(y));
        }
    }
    xcb_free_gc(m_connection, gc);
    m_hasPictures = true;
    m_key = key;
    return true;
}

void XcbBars::place(QPoint origin, QRect visible)
{
    if (m_placed && origin == m_origin && visible == m_visible)
        return;
    m_placed = true;
    m_origin = origin;
    m_visible = visible;
    const xcb_rectangle_t clip{int16_t(visible.x()), int16_t(visible.y()), uint16_t(std::max(0, visible.width())),
                               uint16_t(std::max(0, visible.height()))};
    xcb_set_clip_rectangles(m_connection, XCB_CLIP_ORDERING_UNSORTED, m_gc, int16_t(origin.x()), int16_t(origin.y()), 1,
                            &clip);
}

void XcbBars::copy(int picture, const QRect& part)
{
    if (!m_hasPictures || picture < 0 || picture >= pictureCount || part.isEmpty())
        return;
    xcb_copy_area(m_connection, m_pixmaps[size_t(picture)], m_window, m_gc, int16_t(part.x()), int16_t(part.y()),
                  int16_t(m_origin.x() + part.x()), int16_t(m_origin.y() + part.y()), uint16_t(part.width()),
                  uint16_t(part.height()));
}

void XcbBars::fill(const QRect& part, QColor colour)
{
    if (part.isEmpty())
        return;
    const uint32_t pixel = colour.rgb(); // 0xffRRGGBB: the layout holdsRgb32 checked
    if (pixel != m_foreground) {
        xcb_change_gc(m_connection, m_gc, XCB_GC_FOREGROUND, &pixel);
        m_foreground = pixel;
    }
    const xcb_rectangle_t rectangle{int16_t(m_origin.x() + part.x()), int16_t(m_origin.y() + part.y()),
                                    uint16_t(part.width()), uint16_t(part.height())};
    xcb_poly_fill_rectangle(m_connection, m_window, m_gc, 1, &rectangle);
}

void XcbBars::flush()
{
    xcb_flush(m_connection);
}

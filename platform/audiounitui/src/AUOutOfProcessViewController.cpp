#include "audiounitui/AUOutOfProcessViewController.hpp"

#include <cmath>
#include <cstring>

#include "audiounit/AudioComponentInstanceInvalidation.hpp"
#include "foundation/DispatchQueue.hpp"

namespace audiounit {

namespace {

ui::Image imageFromPixels(const AUAudioUnitProxy::EditorSnapshot& snapshot) {
    ui::Image image(snapshot.pixelWidth, snapshot.pixelHeight);
    cairo_surface_t* surface = image.surface();
    cairo_surface_flush(surface);
    unsigned char* target = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const std::size_t rowBytes = std::size_t(snapshot.pixelWidth) * 4;
    for (int y = 0; y < snapshot.pixelHeight; ++y) {
        const std::size_t from = std::size_t(y) * std::size_t(snapshot.stride);
        if (from + rowBytes > snapshot.pixels.size()) break;
        std::memcpy(target + std::size_t(y) * std::size_t(stride), snapshot.pixels.data() + from, rowBytes);
    }
    cairo_surface_mark_dirty(surface);
    return image;
}

}  // namespace

AUOutOfProcessViewController::AUOutOfProcessViewController(AUAudioUnitProxyPtr unit) : unit_(std::move(unit)) {
    const auto info = unit_->editorInfo();
    setPreferredContentSize({info.width > 0 ? info.width : 720, info.height > 0 ? info.height : 600});
    // Thread: the one that noticed the service's end. Hops to the main queue.
    const std::weak_ptr<bool> alive = alive_;
    AUOutOfProcessViewController* self = this;
    invalidationToken_ = foundation::NotificationCenter::defaultCenter().addObserver(
        kAudioComponentInstanceInvalidationNotification, unit_.get(), [alive, self](const foundation::Notification&) {
            foundation::DispatchQueue::main().async([alive, self] {
                if (alive.lock() && self->view_) self->view_->setForeignWindow(0);
            });
        });
}

AUOutOfProcessViewController::~AUOutOfProcessViewController() {
    alive_.reset();
    foundation::NotificationCenter::defaultCenter().removeObserver(invalidationToken_);
    if (requested_ && unit_->isServiceAlive()) unit_->closeEditor();
}

void AUOutOfProcessViewController::loadView() {
    view_ = std::make_shared<ui::ForeignWindowView>();
    const ui::Size size = preferredContentSize();
    view_->setFrame({0, 0, size.width, size.height});
    const std::weak_ptr<bool> alive = alive_;
    view_->setPlacementHandler([alive, this](const ui::ForeignWindowView::Placement& placement) {
        // Called while the window draws: ask the service afterwards.
        foundation::DispatchQueue::main().async([alive, this, placement] {
            if (alive.lock()) placed(placement);
        });
    });
    // Offscreen draws and inspections get the service's own rendering.
    view_->setContentProvider([alive, this](ui::Size area, ui::Point origin, double scale, bool withImage)
                                  -> std::optional<ui::ForeignWindowView::Content> {
        if (!alive.lock() || !unit_->isServiceAlive() || !unit_->editorInfo().available) return std::nullopt;
        auto snapshot = unit_->snapshotEditor(area.width, area.height, origin.x, origin.y, scale, withImage);
        if (!snapshot) return std::nullopt;
        ui::ForeignWindowView::Content content;
        content.inspection = std::move(snapshot->inspection);
        if (withImage) content.image = imageFromPixels(*snapshot);
        return content;
    });
    setView(view_);
}

void AUOutOfProcessViewController::placed(const ui::ForeignWindowView::Placement& placement) {
    if (requested_ || !unit_->isServiceAlive()) return;
    requested_ = true;
    foundation::NSError error;
    const unsigned long window =
        unit_->openEditor(placement.window, placement.display, placement.width, placement.height, placement.scale, &error);
    if (window != 0) view_->setForeignWindow(window);
}

unsigned long AUOutOfProcessViewController::editorWindow() const { return view_ ? view_->foreignWindow() : 0; }

}  // namespace audiounit

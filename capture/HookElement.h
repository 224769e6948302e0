#pragma once
// Private: one GstBaseTransform subclass whose work is done by a C++ object.
// The transform filter base and the frame grabber are built on it.

#include <gst/base/gstbasetransform.h>
#include <gst/gst.h>

namespace capture {

class ElementHooks {
  public:
    // Caps on the other side for caps on `direction`'s side (new reference).
    virtual GstCaps* TransformCaps(GstPadDirection direction, GstCaps* caps) = 0;
    virtual bool SetCaps(GstCaps* in, GstCaps* out) = 0;
    // Only for filters that are not in place. GST_FLOW_NOT_SUPPORTED leaves
    // the choice to the base class.
    virtual GstFlowReturn PrepareOutput(GstBuffer* in, GstBuffer** out) {
        (void)in;
        (void)out;
        return GST_FLOW_NOT_SUPPORTED;
    }
    virtual GstFlowReturn Transform(GstBuffer* in, GstBuffer* out) {
        (void)in;
        (void)out;
        return GST_FLOW_NOT_SUPPORTED;
    }
    virtual GstFlowReturn TransformIp(GstBuffer* buffer) {
        (void)buffer;
        return GST_FLOW_NOT_SUPPORTED;
    }
    virtual void Stopped() {}

  protected:
    ~ElementHooks() = default;
};

// A new element (floating reference) that calls `hooks`; in place or with a
// separate output buffer.
GstElement* NewHookElement(ElementHooks* hooks, bool inPlace);
// Detaches the hooks; the element passes nothing afterwards.
void DetachHooks(GstElement* element);

}  // namespace capture

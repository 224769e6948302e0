#include "capture/HookElement.h"

#include <mutex>

namespace capture {

namespace {

struct LumaHook {
    GstBaseTransform parent;
    ElementHooks* hooks;
};

struct LumaHookClass {
    GstBaseTransformClass parent_class;
};

GType luma_hook_get_type();
#define LUMA_HOOK(obj) (reinterpret_cast<LumaHook*>(obj))

G_DEFINE_TYPE(LumaHook, luma_hook, GST_TYPE_BASE_TRANSFORM)

GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);
GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

GstCaps* hook_transform_caps(GstBaseTransform* trans, GstPadDirection direction, GstCaps* caps,
                             GstCaps* filter) {
    ElementHooks* hooks = LUMA_HOOK(trans)->hooks;
    GstCaps* result = hooks ? hooks->TransformCaps(direction, caps) : gst_caps_new_empty();
    if (filter) {
        GstCaps* narrowed = gst_caps_intersect_full(filter, result, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(result);
        result = narrowed;
    }
    return result;
}

gboolean hook_set_caps(GstBaseTransform* trans, GstCaps* in, GstCaps* out) {
    ElementHooks* hooks = LUMA_HOOK(trans)->hooks;
    return hooks && hooks->SetCaps(in, out);
}

gboolean hook_transform_size(GstBaseTransform*, GstPadDirection, GstCaps*, gsize size, GstCaps*,
                             gsize* othersize) {
    *othersize = size;
    return TRUE;
}

GstFlowReturn hook_prepare_output_buffer(GstBaseTransform* trans, GstBuffer* in, GstBuffer** out) {
    ElementHooks* hooks = LUMA_HOOK(trans)->hooks;
    if (hooks && !gst_base_transform_is_in_place(trans)) {
        GstFlowReturn ret = hooks->PrepareOutput(in, out);
        if (ret != GST_FLOW_NOT_SUPPORTED) return ret;
    }
    return GST_BASE_TRANSFORM_CLASS(luma_hook_parent_class)->prepare_output_buffer(trans, in, out);
}

GstFlowReturn hook_transform(GstBaseTransform* trans, GstBuffer* in, GstBuffer* out) {
    ElementHooks* hooks = LUMA_HOOK(trans)->hooks;
    return hooks ? hooks->Transform(in, out) : GST_FLOW_FLUSHING;
}

GstFlowReturn hook_transform_ip(GstBaseTransform* trans, GstBuffer* buffer) {
    ElementHooks* hooks = LUMA_HOOK(trans)->hooks;
    return hooks ? hooks->TransformIp(buffer) : GST_FLOW_FLUSHING;
}

gboolean hook_stop(GstBaseTransform* trans) {
    if (ElementHooks* hooks = LUMA_HOOK(trans)->hooks) hooks->Stopped();
    return TRUE;
}

void luma_hook_class_init(LumaHookClass* klass) {
    auto* element_class = GST_ELEMENT_CLASS(klass);
    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_add_static_pad_template(element_class, &src_template);
    gst_element_class_set_static_metadata(element_class, "Lumacast filter", "Filter",
                                          "A filter of Lumacast's own", "Lumacast");
    auto* bt = GST_BASE_TRANSFORM_CLASS(klass);
    bt->transform_caps = hook_transform_caps;
    bt->set_caps = hook_set_caps;
    bt->transform_size = hook_transform_size;
    bt->prepare_output_buffer = hook_prepare_output_buffer;
    bt->transform = hook_transform;
    bt->transform_ip = hook_transform_ip;
    bt->stop = hook_stop;
    bt->passthrough_on_same_caps = FALSE;
}

void luma_hook_init(LumaHook* self) {
    self->hooks = nullptr;
}

}  // namespace

GstElement* NewHookElement(ElementHooks* hooks, bool inPlace) {
    GstElement* element = GST_ELEMENT(g_object_new(luma_hook_get_type(), nullptr));
    LUMA_HOOK(element)->hooks = hooks;
    gst_base_transform_set_in_place(GST_BASE_TRANSFORM(element), inPlace);
    gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(element), FALSE);
    return element;
}

void DetachHooks(GstElement* element) {
    GST_OBJECT_LOCK(element);
    LUMA_HOOK(element)->hooks = nullptr;
    GST_OBJECT_UNLOCK(element);
}

}  // namespace capture

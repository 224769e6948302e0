#pragma once
// The wrappers keep the runtime's interfaces as plain owned references;
// this releases one and nulls the field, so a second release does nothing.

template <typename T>
void ReleaseField(T*& field) {
    if (field) field->Release();
    field = nullptr;
}

#include "core/host/host_object.h"

namespace tb {

void fail(std::int32_t hresult, const std::string& what) {
    throw Failure(hresult, what);
}

ObjectRef ObjectRef::share(HostObject* object) {
    if (object) object->add_ref();
    return ObjectRef(object);
}

ObjectRef::ObjectRef(const ObjectRef& other) : object_(other.object_) {
    if (object_) object_->add_ref();
}

ObjectRef& ObjectRef::operator=(const ObjectRef& other) {
    if (this != &other) {
        if (other.object_) other.object_->add_ref();
        reset();
        object_ = other.object_;
    }
    return *this;
}

ObjectRef& ObjectRef::operator=(ObjectRef&& other) noexcept {
    if (this != &other) {
        reset();
        object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
}

void ObjectRef::reset() noexcept {
    if (HostObject* object = std::exchange(object_, nullptr)) object->release();
}

Value get(const ObjectRef& object, std::u16string_view member, std::span<const Value> args) {
    if (!object) fail(hr::pointer, "no object");
    return object->invoke(member, InvokeKind::PropertyGet, args);
}

Value call(const ObjectRef& object, std::u16string_view member, std::span<const Value> args) {
    if (!object) fail(hr::pointer, "no object");
    return object->invoke(member, InvokeKind::Method, args);
}

ObjectRef get_object(const ObjectRef& object, std::u16string_view member,
                     std::span<const Value> args) {
    Value answer = get(object, member, args);
    if (!answer.is_object() || !answer.object_value()) fail(hr::type_mismatch, "not an object");
    return answer.object_value();
}

}  // namespace tb

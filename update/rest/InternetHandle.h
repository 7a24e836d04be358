#pragma once
// A handle of the HTTP stack with shared ownership: the underlying object is
// closed when its last owner lets go.
#include <memory>

namespace Zelt::RESTAPI {

// Base of everything an internet_handle can hold (session, connection,
// request); closing happens in the derived destructor.
class internet_object {
  public:
    virtual ~internet_object() = default;
};

class internet_handle {
  public:
    internet_handle() = default;
    explicit internet_handle(std::unique_ptr<internet_object> object)
        : object_(std::move(object)) {}

    internet_handle(const internet_handle&) = default;
    internet_handle& operator=(const internet_handle&) = default;
    internet_handle(internet_handle&& other) noexcept : object_(std::move(other.object_)) {}
    internet_handle& operator=(internet_handle&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::move(other.object_);
        }
        return *this;
    }
    ~internet_handle() { reset(); }

    // Gives up this owner's share; the object closes when it was the last.
    void reset() { object_.reset(); }

    internet_object* get() const { return object_.get(); }
    long owners() const { return object_.use_count(); }
    explicit operator bool() const { return object_ != nullptr; }

    template <typename T>
    T* as() const {
        return dynamic_cast<T*>(object_.get());
    }

  private:
    std::shared_ptr<internet_object> object_;
};

}  // namespace Zelt::RESTAPI

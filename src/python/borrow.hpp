#pragma once
/// Borrowing the record of an extension object for the length of a method:
/// many readers or one writer. The counter lives in the object (`borrows`:
/// > 0 shared borrows, -1 an exclusive one) and is only touched with the
/// interpreter lock held, so a method that releases the lock still keeps
/// other threads' conflicting calls out.

#include "guard.hpp"

namespace quor::py {

/// Shared access for the duration of a method that only reads the record.
template <class Object>
class SharedBorrow {
 public:
  explicit SharedBorrow(PyObject* self) : object_(reinterpret_cast<Object*>(self)) {
    if (object_->borrows < 0) throw RuntimeError("Already mutably borrowed");
    ++object_->borrows;
  }
  ~SharedBorrow() { --object_->borrows; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  const auto& get() const { return *object_->record; }

 private:
  Object* object_;
};

/// Exclusive access, for a method that changes the record.
template <class Object>
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(PyObject* self) : object_(reinterpret_cast<Object*>(self)) {
    if (object_->borrows != 0) throw RuntimeError("Already borrowed");
    object_->borrows = -1;
  }
  ~ExclusiveBorrow() { object_->borrows = 0; }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  auto& get() const { return *object_->record; }

 private:
  Object* object_;
};

}  // namespace quor::py

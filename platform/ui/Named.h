#pragma once

#include <QString>
#include <utility>

// A new Qt object (a control, an action) with its object name, by which tests
// and accessibility find it: makeNamed<QLabel>(name, text, parent).
template <typename Object, typename... Args>
Object* makeNamed(const QString& name, Args&&... args)
{
    auto* object = new Object(std::forward<Args>(args)...);
    object->setObjectName(name);
    return object;
}

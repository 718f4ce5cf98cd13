#pragma once

// Item trees kept in files: reading a "resource_list" file by specification or by resource name,
// replacing a file with a container, copying trees, and rectangles and points stored in trees.

#include "File/FileLocation.h"
#include "UI/Geometry.h"
#include "XMLSerializable.h"

#include <memory>

namespace Pellix {

// The file's container for the language 'enus'; null for any failure, never a throw.
std::shared_ptr<ContainerItem> ReadSerializedFile(const FileSpecification& file);
std::shared_ptr<ContainerItem> ReadSerializedResourceFile(const UString& name, const UString& type);

// Replaces the file whole with the container's document, or leaves it as it was and throws a bare
// int -50. An invalid specification or a null container does nothing.
void WriteSerializedFile(const FileSpecification& file, std::shared_ptr<ContainerItem> container);

// A deep copy of the values; comments and attribute lists are not copied.
std::shared_ptr<ContainerItem> DuplicateContainer(std::shared_ptr<ContainerItem> source);

// A rectangle as the container `name` of "kTop", "kLeft", "kWidth" and "kHeight"; with a negative
// size the stored corner is the minimum one.
void AddRect(std::shared_ptr<ContainerItem> container, const UString& name, const Rect& rect);
Rect GetRect(std::shared_ptr<ContainerItem> container, const UString& name);
// A point as the container `name` of the integers "kX" and "kY", truncated toward zero.
void AddPoint(std::shared_ptr<ContainerItem> container, const UString& name, const Point& point);
Point GetPoint(std::shared_ptr<ContainerItem> container, const UString& name);

} // namespace Pellix

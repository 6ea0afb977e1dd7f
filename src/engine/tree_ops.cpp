#include "engine/tree_ops.hpp"

namespace zub {

std::string_view strip_group_name(std::string_view name) noexcept {
  while (!name.empty() && name.front() == '/') name.remove_prefix(1);
  while (!name.empty() && name.back() == '/') name.remove_suffix(1);
  return name;
}

const Value* find_node(const Value& root, const std::vector<std::string>& groups,
                       std::string_view key) noexcept {
  const Value* node = &root;
  for (const auto& group : groups) {
    const Object* obj = node->if_object();
    if (!obj || !(node = obj->find(group))) return nullptr;
  }
  KeySegments segments(key);
  std::string_view segment;
  while (segments.next(segment)) {
    const Object* obj = node->if_object();
    if (!obj || !(node = obj->find(segment))) return nullptr;
  }
  return node;
}

Result<FullPath> build_full_path(const std::vector<std::string>& groups, std::string_view key) {
  std::size_t count = groups.size();
  KeySegments counting(key);
  std::string_view segment;
  while (counting.next(segment)) ++count;
  if (count == 0) return Failure{ErrorKind::key_error, "Key is empty"};
  FullPath path;
  path.parent.reserve(count);
  path.parent.assign(groups.begin(), groups.end());
  KeySegments segments(key);
  while (segments.next(segment)) path.parent.push_back(segment);
  path.last = path.parent.back();
  path.parent.pop_back();
  return path;
}

void collect_keys_recursive(const Value& node, std::string prefix, std::vector<std::string>& out) {
  const Object* obj = node.if_object();
  if (!obj) return;
  for (const auto& member : *obj) {
    const std::string_view name = member.key;
    std::string path;
    path.reserve(prefix.size() + 1 + name.size());
    if (!prefix.empty()) path.append(prefix).push_back('/');
    path.append(name);
    if (member.value.is_object())
      collect_keys_recursive(member.value, std::move(path), out);
    else
      out.push_back(std::move(path));
  }
}

}  // namespace zub

"""Where modules sit in a network: the module-tree helpers of ``quorvane.convert``,
``quorvane.save`` and ``quorvane.load``.

Every helper walks the modules registered in ``_modules`` without recursion, so any
depth works, and lists a module's children once, under its first place, so sharing and
cycles end the descent.
"""


def _depth_first(net):
    """Walks the modules registered below ``net`` depth-first, in registration order,
    without recursion. Yields ``(parent, name, path, module)`` for every place where a
    module is registered, and ``(module, None, path, None)`` once all of a module's
    children were listed. A module's children are listed once, under its first place,
    so sharing and cycles end the descent."""
    expanded = {id(net)}
    stack = [(net, "", iter(net._modules.items()))]
    while stack:
        module, prefix, children = stack[-1]
        for name, child in children:
            if child is None:
                continue
            path = f"{prefix}.{name}" if prefix else name
            yield module, name, path, child
            if id(child) not in expanded:
                expanded.add(id(child))
                stack.append((child, path, iter(child._modules.items())))
            break
        else:
            stack.pop()
            yield module, None, prefix, None


def module_positions(net):
    """Every place where a module is registered below ``net``, as ``(parent, name, path,
    module)`` tuples in depth-first registration order. A module registered in several
    places (even twice in one container) is listed at each of them; ``path`` is dotted
    as in ``named_modules``. Any depth works."""
    return [place for place in _depth_first(net) if place[1] is not None]


def find_cycle(net):
    """A module path that leads back to one of its own ancestors, as ``(path, ancestor
    path)`` (the root's path is ""), or None when the module graph has no cycle."""
    on_path, seen = {id(net): ""}, {id(net)}
    for parent, name, path, child in _depth_first(net):
        if name is None:
            on_path.pop(id(parent), None)
        elif id(child) in on_path:
            return path, on_path[id(child)]
        elif id(child) not in seen:  # listed here first: its children follow
            seen.add(id(child))
            on_path[id(child)] = path
    return None


def nesting_depth(net):
    """Length of the longest chain of registered modules below ``net`` (0 for a module
    without children); a child that leads back to an ancestor is not followed."""
    depth = {}
    for module, name, _, _ in _depth_first(net):
        if name is None:
            depth[id(module)] = 1 + max((depth[id(c)] for c in module._modules.values()
                                         if c is not None and id(c) in depth), default=-1)
    return depth[id(net)]

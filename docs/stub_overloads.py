"""A griffe extension for the API page, for two things a stub of a compiled type
needs that mkdocstrings does not show by itself (no maintained extension does):

- methods declared only through @overload: a stub has no implementation after its
  overloads, and griffe keeps the overloads aside without a member to show them
  under; this makes that member, with the docstring the stub gives its first
  overload;
- a constructor declared as __new__ (the type has no __init__ at run time, so
  stubtest wants __new__): it is shown as the class's signature, as __init__ is.
"""

import griffe


def union(annotations) -> str | None:
    texts = list(dict.fromkeys(str(a) for a in annotations if a is not None))
    return " | ".join(texts) or None


class StubOverloads(griffe.Extension):
    def on_class_members(self, *, cls: griffe.Class, **kwargs: object) -> None:
        for name, overloads in cls.overloads.items():
            if not overloads or name in cls.members:
                continue
            documented = next((f for f in overloads if f.docstring), overloads[0])
            func = griffe.Function(
                name,
                lineno=overloads[0].lineno,
                endlineno=overloads[-1].endlineno,
                # The member's types are the unions of its overloads' types.
                parameters=griffe.Parameters(
                    *(
                        griffe.Parameter(p.name, kind=p.kind, default=p.default,
                                         annotation=union(o.parameters[p.name].annotation for o in overloads))
                        for p in documented.parameters
                    )
                ),
                returns=union(o.returns for o in overloads),
            )
            if documented.docstring:
                func.docstring = griffe.Docstring(
                    documented.docstring.value,
                    lineno=documented.docstring.lineno,
                    endlineno=documented.docstring.endlineno,
                    parent=func,
                    parser=documented.docstring.parser,
                    parser_options=documented.docstring.parser_options,
                )
            cls.set_member(name, func)
            func.overloads = overloads
        new = cls.members.get("__new__")
        if new is not None and "__init__" not in cls.members:
            cls.del_member("__new__")
            new.name = "__init__"
            new.returns = None
            cls.set_member("__init__", new)

// type_info's vtable, which every RTTI descriptor points at. Compiled without
// RTTI, so that type_info gets no descriptor of its own that would claim the
// same name.
class type_info {
public:
    type_info() {}
    virtual ~type_info();

    void* data_;
    char name_[1];
};
type_info::~type_info() {}
// An object of it makes the compiler emit the vtable here.
type_info g_typeInfoVtableAnchor;

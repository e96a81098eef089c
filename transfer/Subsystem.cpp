// Keeps the library non-empty until its first component lands.
namespace norvex::transfer {
int subsystemAnchor()
{
    return 0;
}
} // namespace norvex::transfer

"""What the release check reads from a PE image (exe or dll), with the standard library only: the
machine, the DLL characteristics, the sections, the imported DLLs, the version resource, the
build id and the .gnu_debuglink. Offsets of the fields are kept so that a test can change one.

    img = pe.read(Path("kDHT.exe"))
    img.dll_characteristics & pe.NX_COMPAT, img.version.file_version, img.imports
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from pathlib import Path

MACHINE_I386 = 0x014C
MACHINE_AMD64 = 0x8664

RELOCS_STRIPPED = 0x0001          # file header Characteristics
HIGH_ENTROPY_VA = 0x0020          # optional header DllCharacteristics
DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100

SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000

DIR_IMPORT, DIR_RESOURCE, DIR_SECURITY, DIR_BASERELOC, DIR_DEBUG = 1, 2, 4, 5, 6
RT_VERSION = 16
DEBUG_TYPE_CODEVIEW = 2
FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD


class PEError(ValueError):
    """Not a PE image, or one whose headers point outside the file."""


@dataclass
class Section:
    name: str
    virtual_address: int
    virtual_size: int
    raw_offset: int
    raw_size: int
    characteristics: int
    header_offset: int  # file offset of this section's header

    @property
    def characteristics_offset(self) -> int:
        return self.header_offset + 36


@dataclass
class Version:
    file_version: tuple[int, int, int, int]
    product_version: tuple[int, int, int, int]
    strings: dict[str, str] = field(default_factory=dict)

    @staticmethod
    def dotted(parts: tuple[int, ...]) -> str:
        return ".".join(str(p) for p in parts)


@dataclass
class Image:
    path: Path
    data: bytes
    machine: int
    characteristics: int
    dll_characteristics: int
    dll_characteristics_offset: int
    timestamp: int
    timestamp_offset: int
    is_dll: bool
    sections: list[Section]
    directories: list[tuple[int, int]]
    imports: list[str]
    version: Version | None
    build_id: bytes | None
    debuglink: tuple[str, int] | None  # file name, CRC-32

    @property
    def pe32_plus(self) -> bool:
        return self.machine == MACHINE_AMD64

    @property
    def width(self) -> str:
        return "x86_64" if self.machine == MACHINE_AMD64 else "i686" if self.machine == MACHINE_I386 else \
            "machine 0x%04X" % self.machine

    def directory(self, index: int) -> tuple[int, int]:
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset_of(self, rva: int) -> int:
        for s in self.sections:
            if s.virtual_address <= rva < s.virtual_address + max(s.virtual_size, s.raw_size):
                off = s.raw_offset + rva - s.virtual_address
                if off >= len(self.data):
                    break
                return off
        raise PEError("%s: RVA 0x%X lies in no section" % (self.path.name, rva))

    def section(self, name: str) -> Section | None:
        return next((s for s in self.sections if s.name == name), None)


def _u16(b: bytes, o: int) -> int:
    return struct.unpack_from("<H", b, o)[0]


def _u32(b: bytes, o: int) -> int:
    return struct.unpack_from("<I", b, o)[0]


def _cstring(b: bytes, o: int) -> str:
    end = b.index(b"\0", o)
    return b[o:end].decode("ascii", "replace")


def read(path: Path | str, full: bool = True) -> Image:
    path = Path(path)
    return parse(path.read_bytes(), path, full)


def parse(data: bytes, path: Path | str = "<image>", full: bool = True) -> Image:
    """full False: no imports and no version resource (a debug file made by objcopy
    --only-keep-debug has the headers and the build id, but not the contents they point at)."""
    path = Path(path)
    try:
        return _parse(data, path, full)
    except (struct.error, IndexError, ValueError) as e:
        if isinstance(e, PEError):
            raise
        raise PEError("%s: damaged PE headers (%s)" % (path.name, e)) from e


def _parse(data: bytes, path: Path, full: bool) -> Image:
    if data[:2] != b"MZ":
        raise PEError("%s: not a PE image (no MZ header)" % path.name)
    pe = _u32(data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise PEError("%s: not a PE image (no PE signature)" % path.name)
    fh = pe + 4
    machine, nsections, timestamp = _u16(data, fh), _u16(data, fh + 2), _u32(data, fh + 4)
    opt_size, characteristics = _u16(data, fh + 16), _u16(data, fh + 18)
    opt = fh + 20
    magic = _u16(data, opt)
    if magic not in (0x10B, 0x20B):
        raise PEError("%s: unknown optional header magic 0x%X" % (path.name, magic))
    plus = magic == 0x20B
    dllchar_off = opt + 70
    ndirs_off = opt + (108 if plus else 92)
    ndirs = _u32(data, ndirs_off)
    dirs = [(_u32(data, ndirs_off + 4 + 8 * i), _u32(data, ndirs_off + 8 + 8 * i)) for i in range(min(ndirs, 16))]
    sections = []
    sh = opt + opt_size
    for i in range(nsections):
        o = sh + 40 * i
        name = data[o:o + 8].rstrip(b"\0").decode("ascii", "replace")
        if name.startswith("/"):  # long name in the COFF string table
            strtab = _u32(data, fh + 8) + 18 * _u32(data, fh + 12)
            name = _cstring(data, strtab + int(name[1:]))
        sections.append(Section(name, _u32(data, o + 12), _u32(data, o + 8), _u32(data, o + 20),
                                _u32(data, o + 16), _u32(data, o + 36), o))
    img = Image(path, data, machine, characteristics, _u16(data, dllchar_off), dllchar_off, timestamp, fh + 4,
                bool(characteristics & 0x2000), sections, dirs, [], None, None, None)
    if full:
        img.imports = _imports(img)
        img.version = _version(img)
    img.build_id = _build_id(img)
    img.debuglink = _debuglink(img)
    return img


def _imports(img: Image) -> list[str]:
    rva, size = img.directory(DIR_IMPORT)
    names: list[str] = []
    if not rva:
        return names
    o = img.offset_of(rva)
    while True:
        name_rva = _u32(img.data, o + 12)
        if not name_rva and not _u32(img.data, o + 16):
            return names
        names.append(_cstring(img.data, img.offset_of(name_rva)))
        o += 20


def _resource_entries(img: Image, base: int, offset: int) -> list[tuple[int | str, int, bool]]:
    """(id or name, offset of what it points to relative to the resource section, is a directory)."""
    d = img.data
    o = base + offset
    named, ids = _u16(d, o + 12), _u16(d, o + 14)
    out = []
    for i in range(named + ids):
        e = o + 16 + 8 * i
        name, target = _u32(d, e), _u32(d, e + 4)
        if name & 0x80000000:
            n = base + (name & 0x7FFFFFFF)
            key: int | str = d[n + 2:n + 2 + 2 * _u16(d, n)].decode("utf-16-le")
        else:
            key = name
        out.append((key, target & 0x7FFFFFFF, bool(target & 0x80000000)))
    return out


def _version(img: Image) -> Version | None:
    rva, size = img.directory(DIR_RESOURCE)
    if not rva:
        return None
    base = img.offset_of(rva)
    for key, off, is_dir in _resource_entries(img, base, 0):
        if key != RT_VERSION or not is_dir:
            continue
        for _, off2, is_dir2 in _resource_entries(img, base, off):
            leaf = off2
            if is_dir2:
                langs = _resource_entries(img, base, off2)
                if not langs:
                    continue
                leaf = langs[0][1]
            data_rva, data_size = _u32(img.data, base + leaf), _u32(img.data, base + leaf + 4)
            start = img.offset_of(data_rva)
            return _parse_version_info(img.data[start:start + data_size], img.path)
    return None


def _align4(o: int) -> int:
    return (o + 3) & ~3


def _block(b: bytes, o: int) -> tuple[int, int, int, str, int]:
    """A version block at o: (length, value length, type, key, offset of its value)."""
    length, vlen, vtype = struct.unpack_from("<HHH", b, o)
    k = o + 6
    end = k
    while b[end:end + 2] != b"\0\0":
        end += 2
    key = b[k:end].decode("utf-16-le")
    return length, vlen, vtype, key, _align4(end + 2)


def _parse_version_info(b: bytes, path: Path) -> Version:
    length, vlen, _, key, value = _block(b, 0)
    if key != "VS_VERSION_INFO" or vlen < 52 or _u32(b, value) != FIXEDFILEINFO_SIGNATURE:
        raise PEError("%s: the version resource has no VS_FIXEDFILEINFO" % path.name)

    def words(o: int) -> tuple[int, int, int, int]:
        ms, ls = _u32(b, o), _u32(b, o + 4)
        return ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF

    version = Version(words(value + 8), words(value + 16))
    child = _align4(value + vlen)
    end = min(length, len(b))
    while child < end:
        clen, _, _, ckey, cval = _block(b, child)
        if clen == 0:
            break
        if ckey == "StringFileInfo":
            table = cval
            while table < child + clen:
                tlen, _, _, _, tval = _block(b, table)
                if tlen == 0:
                    break
                s = tval
                while s < table + tlen:
                    slen, svlen, _, skey, sval = _block(b, s)
                    if slen == 0:
                        break
                    text = b[sval:sval + 2 * svlen].decode("utf-16-le", "replace") if svlen else ""
                    version.strings[skey] = text.split("\0", 1)[0]
                    s = _align4(s + slen)
                table = _align4(table + tlen)
        child = _align4(child + clen)
    return version


def _build_id(img: Image) -> bytes | None:
    """The signature of the CodeView record that ld writes for --build-id (GUID and age)."""
    rva, size = img.directory(DIR_DEBUG)
    if not rva:
        return None
    o = img.offset_of(rva)
    for i in range(size // 28):
        e = o + 28 * i
        if _u32(img.data, e + 12) == DEBUG_TYPE_CODEVIEW:
            raw = _u32(img.data, e + 24)
            if img.data[raw:raw + 4] == b"RSDS":
                return img.data[raw + 4:raw + 24]
    return None


def _debuglink(img: Image) -> tuple[str, int] | None:
    s = img.section(".gnu_debuglink")
    if s is None:
        return None
    raw = img.data[s.raw_offset:s.raw_offset + s.raw_size]
    name = raw.split(b"\0", 1)[0].decode("ascii", "replace")
    crc_at = _align4(len(name) + 1)
    return name, _u32(raw, crc_at)

#!/usr/bin/env python3
"""Writes the generated part of the fuzz seed corpus: the blocks of
corpus/extraction, the files of corpus/tool_list and the long-value inputs of
corpus/template_expansion. The short template inputs are written by hand.

    fuzz/make_seeds.py [--tool out/bin/onefile]

With --tool, corpus/tool_list also gets launchers made by the real tool, of
both configuration layouts, one of them signed. The compressed-entry seeds
are made with the zstd command, the signature seeds with ssh-keygen.
"""
import argparse
import base64
import hashlib
import os
import shutil
import struct
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

MAGIC = b"ZQX"
EXECUTABLE = 0x01
LINK = 0x02
COMPRESSED = 0x04
CONFIG_BYTES = 4096
CONFIG_SIGNATURE = b"onefile-config-1"
TEMPLATE_BYTES, PRODUCT_BYTES, VERSION_BYTES = 2048, 1024, 1008
# The second layout: the first one's page, then a page of records.
SECOND_CONFIG_BYTES = 8192
SECOND_CONFIG_SIGNATURE = b"onefile-config-2"
DIGEST_KIND_AT, CODEC_AT, LEVEL_AT, DIGEST_AT = 4096, 4097, 4098, 4128
DIGEST_SHA256, CODEC_ZSTD = 1, 1
# The signature area: a u64 length and the signature, to the area's end.
SIGNATURE_AREA_AT, SIGNATURE_AREA_BYTES = 4672, 3520
PAYLOAD_SECTION = b"onefile_payload"


def u64(value):
    return struct.pack("<Q", value)


def file_entry(name, content, flags=0):
    return name.encode() + b"\0" + bytes([flags]) + u64(len(content)) + content


def link_entry(name, text, flags=LINK):
    return name.encode() + b"\0" + bytes([flags]) + text.encode() + b"\0"


def block(*entries, trailer=True):
    body = MAGIC + b"".join(entries) + b"\0"
    return body + (u64(len(body)) if trailer else b"")


def zstd_frame(content, level=3, *options):
    """One zstd frame with its checksum and, unless options say otherwise,
    its content size, as the tool writes them."""
    return subprocess.run(["zstd", "-q", "-c", f"-{level}", "--check", *options], input=content,
                          stdout=subprocess.PIPE, check=True).stdout


def frame_claiming(content_size, raw=b"x"):
    """A zstd frame whose header states content_size, with a window of 8 MiB
    and a checksum, holding one raw block of raw: readers walk it by its
    headers, the decoder finds it damaged."""
    header = struct.pack("<I", 0xFD2FB528) + bytes([0xC4, (23 - 10) << 3]) + u64(content_size)
    return header + struct.pack("<I", len(raw) << 3 | 1)[:3] + raw + bytes(4)


def compressed_seeds():
    text = b"".join(b"line %d of a text that repeats itself\n" % (i % 50) for i in range(3000))
    frame = zstd_frame(text)
    flipped = bytearray(frame)
    flipped[len(frame) // 2] ^= 0x01
    other_size = zstd_frame(text[:-1])
    # An entry of three frames as pack cuts a large file: two of 8 MiB (zeros,
    # a few hundred bytes each), then a short one; and the same with the
    # short one in the middle, which the launcher refuses.
    whole = zstd_frame(bytes(8 << 20))
    return {
        "compressed_many_frames.bin": block(file_entry("big", whole + whole + frame, COMPRESSED)),
        "compressed_short_middle_frame.bin": block(file_entry("big", whole + frame + whole, COMPRESSED)),
        "compressed.bin": block(
            file_entry("main", zstd_frame(b"#!/bin/sh\necho hello\n"), EXECUTABLE | COMPRESSED),
            file_entry("lib/text", frame, COMPRESSED),
            file_entry("plain", b"stored as it is")),
        "compressed_flipped_byte.bin": block(file_entry("text", bytes(flipped), COMPRESSED)),
        "compressed_cut_frame.bin": block(file_entry("text", frame[: len(frame) - 7], COMPRESSED)),
        "compressed_two_frames.bin": block(file_entry("text", frame + other_size, COMPRESSED)),
        "compressed_no_size.bin": block(file_entry("text", zstd_frame(text, 3, "--no-content-size"), COMPRESSED)),
        "compressed_link.bin": block(link_entry("link", "target", LINK | COMPRESSED)),
        "compressed_stored_content.bin": block(file_entry("text", text[:200], COMPRESSED)),
        # Unpacked sizes that add up to more than 64 bits count: within an
        # entry, over the block, and once rounded up to a file system block.
        "compressed_frames_wrap.bin": block(
            file_entry("big", frame_claiming(8 << 20) + frame_claiming(2**64 - (8 << 20) + 5), COMPRESSED)),
        "compressed_entries_wrap.bin": block(
            file_entry("a", frame_claiming(2**63), COMPRESSED), file_entry("b", frame_claiming(2**63), COMPRESSED)),
        "compressed_largest_size.bin": block(file_entry("a", frame_claiming(2**64 - 3), COMPRESSED)),
    }


def extraction_seeds():
    return {
        "empty.bin": block(),
        "application.bin": block(
            file_entry("main", b"#!/bin/sh\necho hello\n", EXECUTABLE),
            file_entry("lib/libx.so.1", b"\x7fELF library", 0),
            link_entry("lib/libx.so", "libx.so.1"),
            file_entry("share/doc/empty", b"", EXECUTABLE),
            file_entry("share/data", b"data", 0xfc)),
        "link_first.bin": block(link_entry("start", "main"), file_entry("main", b"x", EXECUTABLE)),
        "through_absolute_link.bin": block(
            link_entry("out", "/box/canary"), file_entry("out/file", b"overwritten")),
        "through_relative_link.bin": block(
            link_entry("up", "../canary"), file_entry("up/file", b"overwritten"),
            link_entry("up/new", "x")),
        "onto_link.bin": block(link_entry("l", "../canary/file"), file_entry("l", b"overwritten")),
        "parent_components.bin": block(
            file_entry("../canary/file", b"overwritten"), file_entry("a/../../canary/file", b"x")),
        "absolute_name.bin": block(file_entry("/box/canary/file", b"overwritten")),
        "replaced_link.bin": block(
            file_entry("f", b"first"), link_entry("f", "/box/canary/file"), link_entry("f", "g")),
        "file_as_directory.bin": block(file_entry("f", b"plain"), file_entry("f/g", b"below a file")),
        "directory_as_link.bin": block(file_entry("d/f", b"x"), link_entry("d", "elsewhere")),
        "deep.bin": block(file_entry("/".join("abcdefghijklmnop") + "/leaf", b"deep")),
        "long_names.bin": block(
            file_entry("n" * 1023, b"longest name"), link_entry("l", "t" * 1023)),
        "name_too_long.bin": MAGIC + b"n" * 1100 + b"\0\0" + u64(0) + b"\0",
        "two_chunks.bin": block(file_entry("big", bytes(range(256)) * 128 + b"!", EXECUTABLE)),
        "lying_size.bin": MAGIC + b"f\0\0" + u64(1000) + b"only ten b" + b"\0" + u64(0),
        "huge_size.bin": MAGIC + b"f\0\0" + u64(0xFFFFFFFFFFFFFFF0) + b"x\0",
        "cut_in_size.bin": MAGIC + b"f\0\0" + b"\x05\x00\x00",
        "cut_in_name.bin": MAGIC + b"name-without-nul",
        "cut_after_name.bin": MAGIC + b"name\0",
        "cut_in_link.bin": MAGIC + b"l\0\x02target-without-nul",
        "empty_link_text.bin": block(link_entry("l", "")),
        "no_end_mark.bin": MAGIC + file_entry("f", b"content"),
        "wrong_magic.bin": b"ZQY" + block()[3:],
        "short_magic.bin": b"ZQ",
    }


def launcher_config(template=b"{TEMP}/onefile_{PID}_{TIME_US}_{RANDOM}", product=b"Merowin", version=b"0.13.1"):
    config = CONFIG_SIGNATURE + template.ljust(TEMPLATE_BYTES, b"\0")
    config += product.ljust(PRODUCT_BYTES, b"\0") + version.ljust(VERSION_BYTES, b"\0")
    assert len(config) == CONFIG_BYTES
    return config


def second_layout_config(digest_kind=DIGEST_SHA256, codec=0, level=0, **strings):
    """An area of the second layout; the digest field stays zero until
    with_digest fills it in."""
    config = bytearray(SECOND_CONFIG_SIGNATURE + launcher_config(**strings)[len(CONFIG_SIGNATURE):])
    config += bytes(SECOND_CONFIG_BYTES - len(config))
    config[DIGEST_KIND_AT], config[CODEC_AT], config[LEVEL_AT] = digest_kind, codec, level
    assert len(config) == SECOND_CONFIG_BYTES
    return bytes(config)


def loaded_ranges(elf):
    """The file ranges of the loadable segments with file bytes."""
    phoff, = struct.unpack_from("<Q", elf, 32)
    phentsize, phnum = struct.unpack_from("<HH", elf, 54)
    ranges = []
    for i in range(phnum):
        kind, _, offset, _, _, filesz = struct.unpack_from("<IIQQQQ", elf, phoff + i * phentsize)
        if kind == 1 and filesz > 0:
            ranges.append((offset, offset + filesz))
    return ranges


def with_digest(elf, payload_offset):
    """`elf` with the digest it records of itself: SHA-256 over the bytes the
    loadable segments map, each once and in file order, with e_shoff,
    e_shnum, e_shstrndx, the digest field and the signature area taken as
    zero."""
    field = payload_offset + DIGEST_AT
    area = payload_offset + SIGNATURE_AREA_AT
    zeroed = bytearray(elf)
    zeroed[40:48] = bytes(8)
    zeroed[60:64] = bytes(4)
    zeroed[field:field + 32] = bytes(32)
    zeroed[area:area + SIGNATURE_AREA_BYTES] = bytes(min(SIGNATURE_AREA_BYTES, max(0, len(elf) - area)))
    loaded = bytearray(len(elf))
    for begin, end in loaded_ranges(elf):
        loaded[begin:end] = b"\1" * (end - begin)
    digest = hashlib.sha256(bytes(byte for byte, mark in zip(zeroed, loaded) if mark)).digest()
    return elf[:field] + digest + elf[field + 32:]


def minimal_elf(payload, with_sections=True):
    """A small 64-bit ELF file whose one loadable segment (and, with
    sections, the onefile_payload section) holds `payload`."""
    ehdr_size, phdr_size, shdr_size = 64, 56, 64
    payload_offset = ehdr_size + phdr_size
    names = b"\0" + PAYLOAD_SECTION + b"\0.shstrtab\0"
    names_offset = payload_offset + len(payload)
    section_offset = names_offset + len(names) if with_sections else 0
    section_count = 3 if with_sections else 0
    ident = b"\x7fELF" + bytes([2, 1, 1, 0]) + bytes(8)
    header = ident + struct.pack("<HHIQQQIHHHHHH", 3, 62, 1, 0, ehdr_size, section_offset, 0,
                                 ehdr_size, phdr_size, 1, shdr_size, section_count,
                                 2 if with_sections else 0)
    segment = struct.pack("<IIQQQQQQ", 1, 4, payload_offset, payload_offset, payload_offset,
                          len(payload), len(payload), 0x1000)
    data = header + segment + payload
    if with_sections:
        data += names
        data += bytes(shdr_size)
        data += struct.pack("<IIQQQQIIQQ", 1, 1, 2, payload_offset, payload_offset, len(payload),
                            0, 0, 16, 0)
        data += struct.pack("<IIQQQQIIQQ", 1 + len(PAYLOAD_SECTION) + 1, 3, 0, 0, names_offset,
                            len(names), 0, 0, 1, 0)
    return data


def second_layout_seeds():
    """Small ELF files whose payload section has the second layout: the
    whole ones record the digest they have; one records none, and one has
    its records page cut short."""
    application = extraction_seeds()["application.bin"]
    compressed = compressed_seeds()["compressed.bin"]
    payload_offset = 64 + 56

    def made(config, block, with_sections=True):
        return with_digest(minimal_elf(config + block, with_sections), payload_offset)

    return {
        "minimal_elf_second_layout.bin": made(second_layout_config(), application),
        "minimal_elf_second_layout_without_sections.bin": made(second_layout_config(), application, False),
        "minimal_elf_second_layout_compressed.bin": made(
            second_layout_config(codec=CODEC_ZSTD, level=19, product=b"Compressed"), compressed),
        "minimal_elf_second_layout_without_digest.bin": minimal_elf(second_layout_config(digest_kind=0) + application),
        "minimal_elf_second_layout_cut_records.bin": minimal_elf(second_layout_config()[:CONFIG_BYTES + 40]),
    }


def ssh_signature_blob(work):
    """A real SSH signature in the namespace onefile, made by ssh-keygen
    with a key made for it, as the binary blob a launcher keeps."""
    key = os.path.join(work, "key")
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key], check=True)
    armored = subprocess.run(["ssh-keygen", "-Y", "sign", "-n", "onefile", "-f", key], input=b"0" * 64 + b"\n",
                             capture_output=True, check=True).stdout
    lines = armored.decode().split("\n")
    return base64.b64decode("".join(lines[1:lines.index("-----END SSH SIGNATURE-----")]))


def signature_area(content):
    return content + bytes(SIGNATURE_AREA_BYTES - len(content))


def signature_seeds():
    """Small ELF files of the second layout whose signature area holds a
    signature, whole, cut short, with a lying length, garbage and bytes
    after it."""
    application = extraction_seeds()["application.bin"]
    payload_offset = 64 + 56
    with tempfile.TemporaryDirectory() as work:
        blob = ssh_signature_blob(work)
    areas = {
        "signed": u64(len(blob)) + blob,
        "signature_cut_short": u64(len(blob) - 30) + blob[:-30],
        "signature_length_beyond_area": u64(SIGNATURE_AREA_BYTES) + blob,
        "signature_garbage": u64(64) + bytes(range(64)),
        "signature_bytes_after": u64(len(blob)) + blob + b"\1",
    }
    seeds = {}
    for name, content in areas.items():
        config = second_layout_config()[:SIGNATURE_AREA_AT] + signature_area(content)
        seeds[f"minimal_elf_{name}.bin"] = with_digest(minimal_elf(config + application), payload_offset)
    return seeds


def tool_list_seeds():
    application = extraction_seeds()["application.bin"]
    payload = launcher_config() + application
    return {
        "minimal_elf.bin": minimal_elf(payload),
        "minimal_elf_without_sections.bin": minimal_elf(payload, with_sections=False),
        "minimal_elf_without_block.bin": minimal_elf(launcher_config() + bytes(16)),
        "minimal_elf_lying_block.bin": minimal_elf(launcher_config() + extraction_seeds()["lying_size.bin"]),
        "elf_header_only.bin": minimal_elf(payload)[:64],
        "bare_block.bin": application,
        "minimal_elf_many_frames.bin": minimal_elf(
            second_layout_config(codec=1, level=3) + compressed_seeds()["compressed_many_frames.bin"]),
        "minimal_elf_frames_wrap.bin": minimal_elf(
            second_layout_config(codec=1, level=3) + compressed_seeds()["compressed_frames_wrap.bin"]),
        "minimal_elf_entries_wrap.bin": minimal_elf(
            second_layout_config(codec=1, level=3) + compressed_seeds()["compressed_entries_wrap.bin"]),
        "script.txt": b"#!/bin/sh\necho not a launcher\n",
        "empty.bin": b"",
    }


def without_section_headers(launcher):
    """A launcher as strip --strip-section-headers leaves it: e_shoff
    (offset 40), e_shnum (60) and e_shstrndx (62) cleared."""
    data = bytearray(launcher)
    data[40:48] = u64(0)
    data[60:64] = bytes(4)
    return bytes(data)


def launchers_from_tool(tool):
    """Launchers made by the real tool from a small application, with and
    without their section headers: of the second layout as the tool makes
    them, and of the first from a stub whose area has the first signature
    (the tool then writes the first layout)."""
    seeds = {}
    with tempfile.TemporaryDirectory() as work:
        app = os.path.join(work, "app")
        os.makedirs(os.path.join(app, "lib"))
        with open(os.path.join(app, "main"), "w") as main:
            main.write("#!/bin/sh\necho hello\n")
        os.chmod(os.path.join(app, "main"), 0o755)
        with open(os.path.join(app, "lib", "data"), "w") as data:
            data.write("data\n")
        os.symlink("data", os.path.join(app, "lib", "link"))
        launcher = os.path.join(work, "launcher")
        subprocess.run([tool, "pack", app, "-o", launcher, "--main", "main"], check=True)
        with open(launcher, "rb") as file:
            second = file.read()
        payload_offset = max(begin for begin, _ in loaded_ranges(second))
        assert second[payload_offset:payload_offset + 16] == SECOND_CONFIG_SIGNATURE
        stub = os.path.join(work, "first-layout-stub")
        with open(stub, "wb") as file:
            file.write(second[:payload_offset] + CONFIG_SIGNATURE + second[payload_offset + 16:])
        first_launcher = os.path.join(work, "first")
        subprocess.run([tool, "pack", app, "-o", first_launcher, "--main", "main", "--stub", stub], check=True)
        with open(first_launcher, "rb") as file:
            first = file.read()
        seeds["launcher.bin"] = first
        seeds["launcher_without_sections.bin"] = without_section_headers(first)
        seeds["launcher_second_layout.bin"] = second
        seeds["launcher_second_layout_without_sections.bin"] = without_section_headers(second)
        key = os.path.join(work, "key")
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key], check=True)
        subprocess.run([tool, "sign", launcher, "--key", key], check=True)
        with open(launcher, "rb") as file:
            seeds["launcher_signed.bin"] = file.read()
    return seeds


def long_template_seeds():
    default = "{TEMP}/onefile_{PID}_{TIME_US}_{RANDOM}"
    return {
        "tmpdir_fills_capacity.txt": f"TMPDIR={'t' * 4095}\ntemplate={default}\n".encode(),
        "tmpdir_too_long.txt": f"TMPDIR={'t' * 4096}\ntemplate={default}\n".encode(),
        "program_path_longest.txt": f"program=/{'p' * 4090}.bin\ntemplate={{PROGRAM_BASE}}\n".encode(),
        "long_name.txt": f"template=x{{{'N' * 1100}}}\n".encode(),
    }


def write(directory, seeds):
    os.makedirs(directory, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(directory, name), "wb") as file:
            file.write(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", help="the built onefile tool, for launcher seeds")
    options = parser.parse_args()
    seeds = extraction_seeds()
    seeds.update(compressed_seeds())
    write(os.path.join(CORPUS, "extraction"), seeds)
    list_seeds = tool_list_seeds()
    list_seeds.update(second_layout_seeds())
    list_seeds.update(signature_seeds())
    if options.tool:
        list_seeds.update(launchers_from_tool(shutil.which(options.tool) or options.tool))
    write(os.path.join(CORPUS, "tool_list"), list_seeds)
    write(os.path.join(CORPUS, "template_expansion"), long_template_seeds())


if __name__ == "__main__":
    main()

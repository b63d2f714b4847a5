# Makes the catalogue's two include files for dpal.wxs at build time: one component per profile
# (the file in the colour directory, and its catalogue entry with "Type" and the SHA-256 digest
# of the very file the MSI carries), and the feature's references to them.
#   cmake -DINPUTS=<msi-inputs.cmake> -DCOMPONENTS=<out.wxi> -DREFS=<out.wxi> -P catalogue.cmake
# INPUTS sets DPAL_MSI_PROFILES (TYPE:ENTRY:FILE ...), DPAL_MSI_SDR_VERSION and
# DPAL_MSI_HDR_VERSION.
include(${INPUTS})
set(catalogue "SYSTEM\\CurrentControlSet\\Services\\TarvexDPALLoader\\Settings\\DPAL\\Profiles")
set(components "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Include>\n")
set(refs "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Include>\n")
set(sdr_found FALSE)
set(hdr_found FALSE)
set(index 0)
foreach(profile IN LISTS DPAL_MSI_PROFILES)
  if(NOT profile MATCHES "^([0-9]+):([^:]+):(.+)$")
    message(FATAL_ERROR "catalogue: ${profile} is not TYPE:ENTRY:FILE")
  endif()
  set(type ${CMAKE_MATCH_1})
  set(entry ${CMAKE_MATCH_2})
  set(file ${CMAKE_MATCH_3})
  # The service takes the file's name from the first "QXLCD_" of the entry on, the uninstaller
  # takes the whole entry: only an entry that begins with it means the same file to both.
  if(NOT entry MATCHES "^QXLCD_[A-Za-z0-9_.-]*[A-Za-z0-9_-]$")
    message(FATAL_ERROR "catalogue: the entry ${entry} must begin with QXLCD_ and be a plain "
                        "file name of letters, digits, '_', '-' and '.'")
  endif()
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "catalogue: the profile file ${file} of ${entry} is missing")
  endif()
  if(type STREQUAL "1" AND entry MATCHES "_V${DPAL_MSI_SDR_VERSION}_")
    set(sdr_found TRUE)
  elseif(type STREQUAL "2" AND entry MATCHES "_V${DPAL_MSI_HDR_VERSION}_")
    set(hdr_found TRUE)
  endif()
  file(SHA256 "${file}" digest)
  # wixl runs in / and takes relative paths only.
  file(RELATIVE_PATH source / "${file}")
  math(EXPR index "${index} + 1")
  # A value of type "integer" is written into the registry table with a leading "#"; "#x"
  # followed by hex digits is a binary value.
  string(APPEND components
    "  <Component Id=\"Profile${index}\" Guid=\"*\" Win64=\"yes\">\n"
    "    <File Id=\"Profile${index}\" Name=\"${entry}.icm\" Source=\"${source}\" KeyPath=\"yes\"/>\n"
    "    <RegistryValue Root=\"HKLM\" Key=\"${catalogue}\\${entry}\" Name=\"Type\" Type=\"integer\" Value=\"${type}\"/>\n"
    "    <RegistryValue Root=\"HKLM\" Key=\"${catalogue}\\${entry}\" Name=\"${entry}\" Type=\"integer\" Value=\"x${digest}\"/>\n"
    "  </Component>\n")
  string(APPEND refs "  <ComponentRef Id=\"Profile${index}\"/>\n")
endforeach()
if(NOT sdr_found OR NOT hdr_found)
  message(FATAL_ERROR "catalogue: the profiles need a type-1 entry holding _V${DPAL_MSI_SDR_VERSION}_ "
                      "and a type-2 entry holding _V${DPAL_MSI_HDR_VERSION}_, or the service "
                      "finds the catalogue invalid")
endif()
string(APPEND components "</Include>\n")
string(APPEND refs "</Include>\n")
file(WRITE ${COMPONENTS} "${components}")
file(WRITE ${REFS} "${refs}")

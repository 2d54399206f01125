# The extension packed for Debian's chromium, which installs the packed
# extensions named in /usr/share/chromium/extensions for every user by itself.
# A packed extension is signed with the extension's private key, whose public
# half gives the pinned ID; the key is never part of the source or the package.
#
# cmake -DCHROMIUM=<chromium> -DKEY=<key.pem> -DSOURCE=<extension folder>
#       -DID=<pinned ID> -DVERSION=x.y.z -DCRX_PATH=<installed .crx path>
#       -DOUT=<folder> -P pack-extension.cmake
# writes OUT/ostrel.crx and OUT/ID.json.

# Chromium's ID of a key: the first 128 bits of the SHA-256 of the public key
# (DER), each hexadecimal digit written as a letter from a to p.
set(der "${OUT}/public-key.der")
file(MAKE_DIRECTORY "${OUT}")
execute_process(COMMAND openssl pkey -in "${KEY}" -pubout -outform DER -out "${der}"
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "OSTREL_EXTENSION_KEY ${KEY} is not a private key openssl reads: ${err}")
endif()
file(SHA256 "${der}" hash)
file(REMOVE "${der}")
string(SUBSTRING "${hash}" 0 32 hash)
set(digits 0 1 2 3 4 5 6 7 8 9 a b c d e f)
set(letters a b c d e f g h i j k l m n o p)
set(id "")
foreach(i RANGE 31)
  string(SUBSTRING "${hash}" ${i} 1 digit)
  list(FIND digits "${digit}" n)
  list(GET letters ${n} letter)
  string(APPEND id "${letter}")
endforeach()
if(NOT id STREQUAL ID)
  message(FATAL_ERROR "OSTREL_EXTENSION_KEY ${KEY} is the key of the extension ID ${id}, not of "
                      "the ostrel extension ${ID}")
endif()

# The extension as it is, but for the manifest's "key": a packed extension
# carries its key in the package's header.
set(tree "${OUT}/ostrel-extension")
file(REMOVE_RECURSE "${tree}" "${tree}.crx" "${OUT}/profile")
file(COPY "${SOURCE}/" DESTINATION "${tree}")
file(READ "${tree}/manifest.json" manifest)
string(JSON manifest REMOVE "${manifest}" key)
file(WRITE "${tree}/manifest.json" "${manifest}\n")
execute_process(
  COMMAND "${CHROMIUM}" --headless --no-sandbox --user-data-dir=${OUT}/profile
          --pack-extension=${tree} --pack-extension-key=${KEY}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(REMOVE_RECURSE "${OUT}/profile" "${tree}")
if(NOT EXISTS "${tree}.crx")
  message(FATAL_ERROR "${CHROMIUM} --pack-extension made no ${tree}.crx (${rc}):\n${out}${err}")
endif()
file(RENAME "${tree}.crx" "${OUT}/ostrel.crx")
file(CHMOD "${OUT}/ostrel.crx" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(WRITE "${OUT}/${ID}.json"
     "{\n  \"external_crx\": \"${CRX_PATH}\",\n  \"external_version\": \"${VERSION}\"\n}\n")

# Run by CPack after each generator. CPack's own tar and zip writers take the owner of
# each entry from the user who packs and the order of the entries from the file system,
# the zip's times from the time zone; the Debian package's ar members get the
# permissions of the umask, and its installed size counts folders at the size that the
# file system gives them. So each package is made again from its contents: sorted by
# name, owned by root, with the permissions 755 and 644 and every time SOURCE_DATE_EPOCH
# (in UTC where the format keeps local time). Then SHA256SUMS beside the packages lists
# each of them, for `sha256sum -c SHA256SUMS`.
set(source_date $ENV{SOURCE_DATE_EPOCH})

function(unpack package contents)
    file(REMOVE_RECURSE ${contents})
    file(MAKE_DIRECTORY ${contents})
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${package} WORKING_DIRECTORY ${contents}
                    COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND chmod -R u=rwX,go=rX ${contents} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

function(remake_tarball package contents)
    file(GLOB top RELATIVE ${contents} ${contents}/*)
    execute_process(COMMAND tar --sort=name --owner=root:0 --group=root:0
                            --mtime=@${source_date} --format=gnu -cf - -C ${contents} ${top}
                    COMMAND gzip -9n OUTPUT_FILE ${package} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

function(remake_zip package contents)
    find_program(zip zip)
    if(NOT zip)
        message(FATAL_ERROR "zip is needed to make the same zip on every machine "
                "(apt-get install zip)")
    endif()
    file(GLOB_RECURSE entries LIST_DIRECTORIES true RELATIVE ${contents} ${contents}/*)
    list(SORT entries)
    execute_process(COMMAND touch -d @${source_date} ${entries} WORKING_DIRECTORY ${contents}
                    COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE ${package})
    # -X leaves out the owner and the times beside the DOS time, which is local time.
    execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC0 ${zip} -X -9 -q ${package} ${entries}
                    WORKING_DIRECTORY ${contents} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

function(padded text width result)
    string(LENGTH "${text}" length)
    math(EXPR blanks "${width} - ${length}")
    string(REPEAT " " ${blanks} blanks)
    set(${result} "${text}${blanks}" PARENT_SCOPE)
endfunction()

# The installed size as dpkg-gencontrol counts it: each file in KiB, rounded up, and one
# KiB for each folder. CPack adds up the sizes that the file system gives its folders,
# which differ from one file system to the next.
function(installed_size tree result)
    file(GLOB_RECURSE files ${tree}/*)
    file(GLOB_RECURSE entries LIST_DIRECTORIES true ${tree}/*)
    list(LENGTH entries entry_count)
    list(LENGTH files file_count)
    math(EXPR kib "${entry_count} - ${file_count}")
    foreach(file IN LISTS files)
        file(SIZE ${file} size)
        math(EXPR kib "${kib} + (${size} + 1023) / 1024")
    endforeach()
    set(${result} ${kib} PARENT_SCOPE)
endfunction()

# The control files again with that size, then an ar archive as CPack writes it, of the
# members in their required order.
function(remake_debian_package package contents)
    file(GLOB data RELATIVE ${contents} ${contents}/data.tar*)
    file(MAKE_DIRECTORY ${contents}/data.d ${contents}/control.d)
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ../${data}
                    WORKING_DIRECTORY ${contents}/data.d COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ../control.tar.gz
                    WORKING_DIRECTORY ${contents}/control.d COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND chmod -R u=rwX,go=rX ${contents}/control.d COMMAND_ERROR_IS_FATAL ANY)
    installed_size(${contents}/data.d kib)
    file(READ ${contents}/control.d/control fields)
    string(REGEX REPLACE "\nInstalled-Size: [0-9]+" "\nInstalled-Size: ${kib}" fields "${fields}")
    file(WRITE ${contents}/control.d/control "${fields}")
    file(GLOB control_files RELATIVE ${contents}/control.d ${contents}/control.d/*)
    list(TRANSFORM control_files PREPEND ./)
    execute_process(COMMAND tar --owner=root:0 --group=root:0 --mtime=@${source_date}
                            --format=gnu -cf - -C ${contents}/control.d ${control_files}
                    COMMAND gzip -9n OUTPUT_FILE ${contents}/control.tar.gz
                    COMMAND_ERROR_IS_FATAL ANY)

    file(WRITE ${contents}/ar.magic "!<arch>\n")
    file(WRITE ${contents}/ar.pad "\n")
    set(parts ${contents}/ar.magic)
    foreach(member IN ITEMS debian-binary control.tar.gz ${data})
        file(SIZE ${contents}/${member} size)
        padded(${member} 16 name)
        padded(${source_date} 12 time)
        padded(${size} 10 size_field)
        file(WRITE ${contents}/${member}.header "${name}${time}0     0     100644  ${size_field}`\n")
        list(APPEND parts ${contents}/${member}.header ${contents}/${member})
        math(EXPR odd "${size} % 2")
        if(odd)
            list(APPEND parts ${contents}/ar.pad)
        endif()
    endforeach()
    execute_process(COMMAND ${CMAKE_COMMAND} -E cat ${parts} OUTPUT_FILE ${package}
                    COMMAND_ERROR_IS_FATAL ANY)
endfunction()

foreach(package IN LISTS CPACK_PACKAGE_FILES)
    set(contents ${CPACK_TOPLEVEL_DIRECTORY}/contents)
    unpack(${package} ${contents})
    if(package MATCHES "\\.tar\\.gz$")
        remake_tarball(${package} ${contents})
    elseif(package MATCHES "\\.zip$")
        remake_zip(${package} ${contents})
    elseif(package MATCHES "\\.deb$")
        remake_debian_package(${package} ${contents})
    endif()
    file(REMOVE_RECURSE ${contents})
endforeach()

# SHA256SUMS in the folder that CPack copies the packages to next: these packages, and
# those of other runs that are still there.
set(sums_file ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS)
set(names "")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    get_filename_component(name ${package} NAME)
    file(SHA256 ${package} sum_of_${name})
    list(APPEND names ${name})
endforeach()
if(EXISTS ${sums_file})
    file(STRINGS ${sums_file} lines)
    foreach(line IN LISTS lines)
        if(line MATCHES "^([0-9a-f]+)  (.+)$" AND NOT CMAKE_MATCH_2 IN_LIST names AND
           EXISTS ${CPACK_PACKAGE_DIRECTORY}/${CMAKE_MATCH_2})
            set(sum_of_${CMAKE_MATCH_2} ${CMAKE_MATCH_1})
            list(APPEND names ${CMAKE_MATCH_2})
        endif()
    endforeach()
endif()
list(SORT names)
set(sums "")
foreach(name IN LISTS names)
    string(APPEND sums "${sum_of_${name}}  ${name}\n")
endforeach()
file(WRITE ${sums_file} "${sums}")

// Open files and device nodes inside the stand-in's user-space half.
#pragma once
#include <linux/fs.h>

#include <string>

namespace vk {
int chrdev_get(dev_t dev, const struct file_operations **fops);
// The inode of a device node made with mknod_char, or null. Inodes live as long as the
// program.
struct inode *node_lookup(const std::string &path);
// Opens the device of an inode: module reference, a new file with f_count 1, the
// driver's open. The file, or null with *err set (nothing left allocated). May sleep.
struct file *file_open(struct inode *inode, int *err);
}  // namespace vk
